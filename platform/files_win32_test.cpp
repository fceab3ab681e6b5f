// The Windows file layer's decision which access lists keep a key file
// private, through the security descriptors it is decided on.
#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/files_win32.h"
#include "platform/pbe.h"
#include "testing/scratch_dir.h"
#include "testing/test_hooks.h"

namespace {

// The current user's SID as text ("S-1-5-..."), empty when unknown.
std::string userSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return "";
  unsigned char user[256];
  DWORD size = 0;
  char* sid = nullptr;
  std::string text;
  if (GetTokenInformation(token, TokenUser, user, sizeof user, &size) &&
      ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid)) {
    text = sid;
    LocalFree(sid);
  }
  CloseHandle(token);
  return text;
}

// A security descriptor from SDDL in which "{user}" stands for the current
// user; null when the text is refused. Release it with LocalFree.
PSECURITY_DESCRIPTOR descriptorOf(std::string sddl) {
  for (size_t at = sddl.find("{user}"); at != std::string::npos; at = sddl.find("{user}")) {
    sddl.replace(at, 6, userSid());
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                       nullptr);
  return descriptor;
}

TEST(KeyFilePrivacyTest, OnlyOwnerUserSystemAndAdministratorsMayReadOrGrant) {
  const std::string other = "S-1-5-21-1004336348-1177238915-682003330-1001";
  struct Case {
    const char* what;
    std::string sddl;
    bool conditional;  // the last entry made a conditional (callback) one
    int32_t expected;
  };
  const Case cases[] = {
      {"owner only", "O:{user}D:P(A;;FA;;;{user})", false, 0},
      {"owner, SYSTEM and Administrators", "O:{user}D:P(A;;FA;;;{user})(A;;FA;;;SY)(A;;FA;;;BA)",
       false, 0},
      {"another owner", "O:" + other + "D:P(A;;FA;;;" + other + ")(A;;FR;;;{user})", false,
       EPERM},
      {"Administrators own it", "O:BAD:P(A;;FA;;;BA)(A;;FR;;;{user})", false, 0},
      {"Users may delete", "O:{user}D:P(A;;FA;;;{user})(A;;SD;;;BU)", false, EACCES},
      {"Users read", "O:{user}D:P(A;;FA;;;{user})(A;;FR;;;BU)", false, EACCES},
      {"Authenticated Users read all", "O:{user}D:P(A;;GR;;;AU)", false, EACCES},
      {"Users may change the access list", "O:{user}D:P(A;;FA;;;{user})(A;;WD;;;BU)", false,
       EACCES},
      {"Users may write, not read", "O:{user}D:P(A;;FA;;;{user})(A;;FW;;;BU)", false, EACCES},
      {"Everyone denied", "O:{user}D:P(D;;FA;;;WD)(A;;FA;;;{user})", false, 0},
      {"a conditional entry for Everyone", "O:{user}D:P(A;;FA;;;{user})(A;;FR;;;WD)", true,
       EACCES},
      {"an inherited entry for Users", "O:{user}D:AI(A;;FA;;;{user})(A;ID;FR;;;BU)", false,
       EACCES},
      {"an entry only for what the folder holds", "O:{user}D:AI(A;;FA;;;{user})(A;OICIIO;FR;;;BU)",
       false, 0},
  };
  std::string user = userSid();
  ASSERT_FALSE(user.empty());
  PSECURITY_DESCRIPTOR userDescriptor = descriptorOf("O:{user}");
  ASSERT_NE(userDescriptor, nullptr);
  PSID currentUser = nullptr;
  BOOL defaulted = FALSE;
  ASSERT_TRUE(GetSecurityDescriptorOwner(userDescriptor, &currentUser, &defaulted));
  for (const Case& c : cases) {
    PSECURITY_DESCRIPTOR descriptor = descriptorOf(c.sddl);
    ASSERT_NE(descriptor, nullptr) << c.what;
    if (c.conditional) {
      // Wine's SDDL parser knows no conditional entries (XA); the allow entry
      // becomes one by its type, which is all the decision may look at.
      BOOL present = FALSE;
      PACL dacl = nullptr;
      ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
      void* ace = nullptr;
      ASSERT_TRUE(GetAce(dacl, dacl->AceCount - 1, &ace));
      static_cast<ACE_HEADER*>(ace)->AceType = ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
    }
    EXPECT_EQ(accessKeepsPrivate(descriptor, currentUser), c.expected) << c.what;
    LocalFree(descriptor);
  }
  // No access list at all (Wine reads "D:NO_ACCESS_CONTROL" as an empty one).
  SECURITY_DESCRIPTOR nullDacl;
  ASSERT_TRUE(InitializeSecurityDescriptor(&nullDacl, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorOwner(&nullDacl, currentUser, FALSE));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&nullDacl, TRUE, nullptr, FALSE));
  EXPECT_EQ(accessKeepsPrivate(&nullDacl, currentUser), EACCES) << "no access list";
  LocalFree(userDescriptor);
}

// Through the key-file read: an exposed file is refused before a byte of it
// is read.
TEST(KeyFilePrivacyTest, ExposedKeyFilesAreRefusedUnread) {
  ScratchDir scratch;
  std::string path = scratch.write("initial.key", "key\n");
  const char* const exposed = "D:P(A;;FA;;;{user})(A;;FR;;;WD)";
  PSECURITY_DESCRIPTOR descriptor = descriptorOf(exposed);
  ASSERT_NE(descriptor, nullptr);
  ASSERT_TRUE(SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor));
  LocalFree(descriptor);
  faultArm(FaultPlan{kFaultRead, 1, false, -1, 0});
  unsigned char* key = nullptr;
  int32_t keyLength = -1;
  EXPECT_EQ(svcPbeReadInitialKeyFile(path.c_str(), &key, &keyLength), kPbeKeyFileExposed);
  EXPECT_FALSE(faultFired());
  faultDisarm();
  EXPECT_EQ(key, nullptr);
}

}  // namespace
