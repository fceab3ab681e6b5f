// The Windows file layer's decisions on owners and access lists, through the
// security descriptors they are decided on, and the path walk through the
// files it reaches.
#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/files_win32.h"
#include "platform/paths.h"
#include "platform/pbe.h"
#include "platform/utf16_win32.h"
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

// The current user's SID, from a descriptor that owns it: release with
// LocalFree(*holder).
PSID currentUserOf(PSECURITY_DESCRIPTOR* holder) {
  *holder = descriptorOf("O:{user}");
  PSID sid = nullptr;
  BOOL defaulted = FALSE;
  if (*holder != nullptr) GetSecurityDescriptorOwner(*holder, &sid, &defaulted);
  return sid;
}

const char* const kOtherUser = "S-1-5-21-1004336348-1177238915-682003330-1001";

TEST(KeyFilePrivacyTest, OnlyOwnerUserSystemAndAdministratorsMayReadOrGrant) {
  const std::string other = kOtherUser;
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

// Links are followed, and trace files taken, only of these owners.
TEST(OwnerTrustTest, OnlyTheUserSystemAndAdministratorsMaySteerTheRun) {
  const struct {
    std::string sddl;
    bool trusted;
  } cases[] = {
      {"O:{user}", true},     {"O:SY", true}, {"O:BA", true},
      {"O:BU", false},        {"O:WD", false}, {"O:OW", false},
      {std::string("O:") + kOtherUser, false},
  };
  PSECURITY_DESCRIPTOR holder = nullptr;
  PSID user = currentUserOf(&holder);
  ASSERT_NE(user, nullptr);
  for (const auto& c : cases) {
    PSECURITY_DESCRIPTOR descriptor = descriptorOf(c.sddl);
    ASSERT_NE(descriptor, nullptr) << c.sddl;
    EXPECT_EQ(ownerIsTrusted(descriptor, user), c.trusted) << c.sddl;
    LocalFree(descriptor);
  }
  LocalFree(holder);
}

// Whoever may delete what a key file's folder holds may remove the key.
TEST(KeyFilePrivacyTest, NobodyElseMayRemoveWhatTheKeyFolderHolds) {
  const struct {
    const char* what;
    std::string sddl;
    int32_t expected;
  } cases[] = {
      {"user and SYSTEM", "O:{user}D:P(A;OICI;FA;;;{user})(A;OICI;FA;;;SY)", 0},
      {"Users list and read", "O:BAD:P(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", 0},
      {"Users add files", "O:BAD:P(A;OICI;FA;;;BA)(A;;0x1201bf;;;BU)", 0},
      {"Users delete children", "O:BAD:P(A;OICI;FA;;;BA)(A;;0x40;;;BU)", EACCES},
      {"Everyone full control", "O:{user}D:(A;OICI;FA;;;WD)", EACCES},
      {"Users change the access list", "O:{user}D:P(A;;FA;;;{user})(A;;WD;;;BU)", EACCES},
      {"only for what it holds", "O:{user}D:P(A;;FA;;;{user})(A;OICIIO;FA;;;BU)", 0},
      {"another owner", std::string("O:") + kOtherUser + "D:P(A;;FA;;;{user})", EACCES},
  };
  PSECURITY_DESCRIPTOR holder = nullptr;
  PSID user = currentUserOf(&holder);
  ASSERT_NE(user, nullptr);
  for (const auto& c : cases) {
    PSECURITY_DESCRIPTOR descriptor = descriptorOf(c.sddl);
    ASSERT_NE(descriptor, nullptr) << c.what;
    EXPECT_EQ(folderKeepsPrivate(descriptor, user), c.expected) << c.what;
    LocalFree(descriptor);
  }
  LocalFree(holder);
}

// A new -o in another folder gets what the keystore is subject to, no more
// and no less, whatever of it came from the keystore's folder.
TEST(EffectiveAccessListTest, InheritedEntriesBecomeTheFilesOwnInTheirOrder) {
  const struct {
    const char* model;
    const char* expected;
  } cases[] = {
      {"D:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)", "D:P(A;;FA;;;SY)(A;;FA;;;BA)"},
      {"D:AI(A;;FA;;;SY)(A;ID;FR;;;BU)", "D:P(A;;FA;;;SY)(A;;FR;;;BU)"},
      {"D:AI(A;OICIIO;FA;;;CO)(A;ID;FR;;;BU)", "D:P(A;;FR;;;BU)"},
      {"D:AI(A;;FR;;;BU)(D;ID;FR;;;BU)", "D:P(A;;FR;;;BU)(D;;FR;;;BU)"},
      {"D:P", "D:P"},
  };
  for (const auto& c : cases) {
    PSECURITY_DESCRIPTOR model = descriptorOf(c.model);
    ASSERT_NE(model, nullptr) << c.model;
    std::vector<unsigned char> acl;
    bool present = false;
    ASSERT_EQ(effectiveAccessList(model, &acl, &present), 0) << c.model;
    EXPECT_TRUE(present) << c.model;
    SECURITY_DESCRIPTOR result;
    ASSERT_TRUE(InitializeSecurityDescriptor(&result, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(
        SetSecurityDescriptorDacl(&result, TRUE, reinterpret_cast<PACL>(acl.data()), FALSE));
    ASSERT_TRUE(SetSecurityDescriptorControl(&result, SE_DACL_PROTECTED, SE_DACL_PROTECTED));
    char* text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(
        &result, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr));
    EXPECT_STREQ(text, c.expected) << c.model;
    LocalFree(text);
    LocalFree(model);
  }
}

std::wstring wide(const std::string& text) {
  std::wstring out;
  EXPECT_TRUE(utf8ToWide(text.c_str(), &out)) << text;
  return out;
}

std::string repeated(const char* text, int count) {
  std::string out;
  for (int index = 0; index < count; ++index) out += text;
  return out;
}

// The scratch folder as a walk spells it, with a file and a folder in it.
std::string walkedScratch(const ScratchDir& scratch) {
  scratch.write("keystore.conf", "a = b\n");
  CreateDirectoryW(wide(scratch.file("sub")).c_str(), nullptr);
  WalkedPath at;
  EXPECT_EQ(osWalkPath(scratch.file("keystore.conf").c_str(), nullptr, &at, nullptr, 0), 0);
  std::string text = at.text;
  return text.substr(0, text.size() - std::strlen("\\keystore.conf"));
}

TEST(PathWalkTest, NamesOneFileInAHeldFolderOrSaysWhyNot) {
  ScratchDir scratch;
  std::string dir = walkedScratch(scratch);
  WalkedPath sub;
  ASSERT_EQ(osWalkPath((dir + "\\sub\\x").c_str(), nullptr, &sub, nullptr, 0), 0);
  const struct {
    std::string path;
    bool fromSub;  // relative to the walked "sub\x"
    int32_t rc;
    std::string text;
    bool exists;
  } cases[] = {
      {dir + "\\keystore.conf", false, 0, dir + "\\keystore.conf", true},
      {dir + "\\sub\\..\\KEYSTORE.conf", false, 0, dir + "\\keystore.conf", true},
      {dir + "/sub/./new.conf", false, 0, dir + "\\sub\\new.conf", false},
      {"..\\keystore.conf", true, 0, dir + "\\keystore.conf", true},
      {"new.conf", true, 0, dir + "\\sub\\new.conf", false},
      {dir + "\\keystore.conf:hidden", false, EINVAL, "", false},
      {dir + "\\keystore.conf::$DATA", false, EINVAL, "", false},
      {dir + "\\sub\\", false, EINVAL, "", false},
      {dir + "\\missing\\new.conf", false, ENOENT, "", false},
      {dir + "\\keystore.conf\\new.conf", false, ENOTDIR, "", false},
      {dir + "\\" + repeated("x", 261), false, ENAMETOOLONG, "", false},
  };
  for (const auto& c : cases) {
    WalkedPath at;
    EXPECT_EQ(osWalkPath(c.path.c_str(), c.fromSub ? &sub : nullptr, &at, nullptr, 0), c.rc)
        << c.path;
    EXPECT_EQ(at.text, c.text) << c.path;
    EXPECT_EQ(at.exists, c.exists) << c.path;
    EXPECT_EQ(at.folder != -1, c.rc == 0) << c.path;
  }
}

// A path of 200 characters, most of them Cyrillic: over 300 bytes as UTF-8,
// but 200 characters as Windows counts.
TEST(PathWalkTest, ReplacesAndReadsAFileOnALongCyrillicPath) {
  ScratchDir scratch;
  int cyrillic = 200 - static_cast<int>(scratch.path().size() + std::strlen("\\\\.conf"));
  ASSERT_GT(cyrillic, 120);
  std::string folder = scratch.path() + "\\" + repeated("\xD0\x96", cyrillic / 2);  // Ж
  ASSERT_TRUE(CreateDirectoryW(wide(folder).c_str(), nullptr));
  std::string path = folder + "\\" + repeated("\xD1\x8F", cyrillic - cyrillic / 2) + ".conf";
  ASSERT_EQ(wide(path).size(), 200u);
  WalkedPath at;
  ASSERT_EQ(osWalkPath(path.c_str(), nullptr, &at, nullptr, 0), 0);
  FILE* out = osCreatePrivateFile(at, at.name, nullptr);
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(osWriteFile("old", 1, 3, out), 3u);
  ASSERT_EQ(osCloseFile(out), 0);

  auto replace = [&](const char* content, bool changedMeanwhile) {
    WalkedPath target;
    EXPECT_EQ(osWalkPath(path.c_str(), nullptr, &target, nullptr, 0), 0);
    FILE* read = osOpenForReading(target);
    EXPECT_NE(read, nullptr);
    FileId id;
    EXPECT_EQ(osIdentifyFile(read, &id), 0);
    std::string sideName = std::string(target.name) + ".bak";
    FILE* side = osCreatePrivateFile(target, sideName.c_str(), read);
    EXPECT_NE(side, nullptr);
    osWriteFile(content, 1, std::strlen(content), side);
    EXPECT_EQ(osSyncFile(side), 0);
    if (changedMeanwhile) {
      HANDLE other = CreateFileW(wide(path).c_str(), FILE_APPEND_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
      DWORD written = 0;
      WriteFile(other, "!", 1, &written, nullptr);
      CloseHandle(other);
    }
    // As a replacement does: the file read is closed before it is replaced.
    osCloseFile(read);
    int32_t rc = osCommitFile(side, target, sideName.c_str(), &id);
    WalkedPath sidePath;
    FileKind kind = FileKind::kRegular;
    EXPECT_EQ(osWalkPath((path + ".bak").c_str(), nullptr, &sidePath, nullptr, 0), 0);
    EXPECT_EQ(osFileKindAt(sidePath, &kind), 0);
    EXPECT_EQ(kind, FileKind::kMissing);
    return rc;
  };
  EXPECT_EQ(replace("new", false), 0);
  EXPECT_EQ(replace("lost", true), ECANCELED);

  WalkedPath again;
  ASSERT_EQ(osWalkPath(path.c_str(), nullptr, &again, nullptr, 0), 0);
  FILE* read = osOpenForReading(again);
  ASSERT_NE(read, nullptr);
  char content[16] = {};
  EXPECT_EQ(osReadFile(content, 1, sizeof content, read), 4u);
  EXPECT_STREQ(content, "new!");
  osCloseFile(read);
}

// Wine lets a folder held without delete sharing be renamed all the same.
bool underWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

TEST(PathWalkTest, FoldersOnTheWayCannotBeRenamedWhileHeld) {
  if (underWine()) GTEST_SKIP() << "Wine does not enforce sharing on folders";
  ScratchDir scratch;
  CreateDirectoryW(wide(scratch.file("sub")).c_str(), nullptr);
  std::wstring from = wide(scratch.file("sub"));
  std::wstring to = wide(scratch.file("moved"));
  {
    WalkedPath at;
    ASSERT_EQ(osWalkPath(scratch.file("sub\\x").c_str(), nullptr, &at, nullptr, 0), 0);
    EXPECT_FALSE(MoveFileExW(from.c_str(), to.c_str(), 0));
  }
  EXPECT_TRUE(MoveFileExW(from.c_str(), to.c_str(), 0));
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
