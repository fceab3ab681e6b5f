// The Windows key-file check: a key file whose access list lets one of the
// groups that stand for every user read it is refused before a byte of it is
// read.
#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/pbe.h"
#include "testing/test_hooks.h"
#include "testing/scratch_dir.h"

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

// Gives the file the access list of an SDDL text in which "{user}" stands
// for the current user (Wine does not honour the owner-rights SID); true on
// success.
bool setAccessList(const std::string& path, std::string sddl) {
  for (size_t at = sddl.find("{user}"); at != std::string::npos; at = sddl.find("{user}")) {
    sddl.replace(at, 6, userSid());
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return false;
  }
  bool ok = SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor) != 0;
  LocalFree(descriptor);
  return ok;
}

TEST(KeyFilePrivacyTest, FilesThatEveryUserMayReadAreRefused) {
  ScratchDir scratch;
  std::string path = scratch.write("initial.key", "key\n");
  struct Case {
    const char* what;
    const char* sddl;
    int32_t expected;
  };
  const Case cases[] = {
      {"owner only", "D:P(A;;FA;;;{user})", 0},
      {"owner and system", "D:P(A;;FA;;;{user})(A;;FA;;;SY)", 0},
      {"everyone reads", "D:P(A;;FA;;;{user})(A;;FR;;;WD)", kPbeKeyFileExposed},
      {"everyone may do all", "D:P(A;;FA;;;{user})(A;;FA;;;WD)", kPbeKeyFileExposed},
      // Wine keeps only what a POSIX mode can say, so the other groups
      // (Users, Authenticated Users) are checked on Windows alone.
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(setAccessList(path, c.sddl)) << c.what;
    faultArm(FaultPlan{kFaultRead, 1, false, -1, 0});
    unsigned char* key = nullptr;
    int32_t keyLength = -1;
    int32_t rc = svcPbeReadInitialKeyFile(path.c_str(), &key, &keyLength);
    bool read = faultFired();
    faultDisarm();
    if (c.expected == kPbeKeyFileExposed) {
      EXPECT_EQ(rc, kPbeKeyFileExposed) << c.what;
      EXPECT_FALSE(read) << c.what;
      EXPECT_EQ(key, nullptr);
      EXPECT_EQ(keyLength, 0);
    } else {
      // Private files pass the check and reach the read, which fails here.
      EXPECT_EQ(rc, kPbeKeyFileUnreadable) << c.what;
      EXPECT_TRUE(read) << c.what;
    }
  }
  ASSERT_TRUE(setAccessList(path, "D:P(A;;FA;;;{user})"));
  unsigned char* key = nullptr;
  int32_t keyLength = 0;
  ASSERT_EQ(svcPbeReadInitialKeyFile(path.c_str(), &key, &keyLength), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(key), static_cast<size_t>(keyLength)), "key");
  pbeReleaseInitialKeys();
}

}  // namespace
