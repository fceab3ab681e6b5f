#include "lib/orvcred/include/orvcred.h"

#include <gtest/gtest.h>

#ifdef _WIN32  // the cases below act as another program would, with each system's calls
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "lib/orvcred/initial_key.h"
#include "lib/orvcred/keystore_reader.h"
#include "platform/pbe.h"
#include "platform/program.h"
#include "platform/results.h"
#include "platform/seams.h"
#include "testing/test_hooks.h"
#include "testing/scratch_dir.h"

namespace {

// Each library code has a text of its own; the table of results names no
// other code, and reports each result as the library always has.
TEST(OrvcredCodesTest, EachCodeHasItsOwnTextAndTheTableNamesNoOther) {
  const std::set<int> codes = {
      ORVCRED_OK,          ORVCRED_NOT_READABLE,        ORVCRED_MISSING_KEY,
      ORVCRED_DUPLICATE_KEY, ORVCRED_BAD_ARGUMENT,      ORVCRED_KEYSTORE_UNREADABLE,
      ORVCRED_NO_LOCATION, ORVCRED_NO_MEMORY,           ORVCRED_CRYPTO_FAILURE,
      ORVCRED_KEY_FILE_UNREADABLE, ORVCRED_KEY_FILE_EMPTY, ORVCRED_KEY_FILE_TOO_LARGE,
      ORVCRED_KEY_FILE_EXPOSED, ORVCRED_KEY_FILE_FOREIGN, ORVCRED_BAD_ENVIRONMENT};
  ASSERT_EQ(codes.size(), 15u);
  std::set<std::string> texts;
  for (int code : codes) EXPECT_TRUE(texts.insert(orvcred_error_text(code)).second) << code;
  EXPECT_EQ(texts.count(orvcred_error_text(1)), 0u);
  EXPECT_STREQ(orvcred_error_text(ORVCRED_KEY_FILE_EMPTY), "the initial key file is empty");
#define ORV_LIBRARY_CODE(name, code, exit, message, library, meaning) \
  EXPECT_TRUE(library == kNoLibraryCode || codes.count(library) == 1) << #name;
  ORV_ALL_RESULTS(ORV_LIBRARY_CODE)
#undef ORV_LIBRARY_CODE
  const struct { int32_t result; int library; } mapped[] = {
      {kRunOk, ORVCRED_OK},
      {kKeystoreUnclearLine, ORVCRED_KEYSTORE_UNREADABLE},
      {kConfigNoMemory, ORVCRED_NO_MEMORY},
      {kPbeNotAuthentic, ORVCRED_NOT_READABLE},
      {kPbeKeyFileForeign, ORVCRED_KEY_FILE_FOREIGN},
      {kPbeBadSalt, ORVCRED_CRYPTO_FAILURE},
      {12345, ORVCRED_CRYPTO_FAILURE}};
  for (const auto& m : mapped) EXPECT_EQ(orvcredCode(m.result), m.library) << m.result;
}

class OrvcredTest : public ::testing::Test {
 protected:
  void SetUp() override { pbeSetIterationsForTesting(1000); }
  void TearDown() override {
    svcProgramTerm(0);
    pbeSetIterationsForTesting(0);
  }

  // `plaintext` protected under the key file's key with `algorithm`.
  std::string protect(const std::string& keyFile, const std::string& plaintext, int32_t algorithm) {
    InitialKey key;
    WalkedPath noKeystore;
    EXPECT_EQ(chooseInitialKey(noKeystore, "", 0, keyFile.c_str(), &key), 0);
    unsigned char salt[kSaltLength];
    buildSalt(salt);
    PbeContext context = {};
    context.algorithm = algorithm;
    context.marker = kProtectedMarker;
    context.initialKeyLength = key.length;
    context.initialKey = key.bytes;
    context.saltLength = kSaltLength;
    context.salt = salt;
    char* text = nullptr;
    int32_t length = 0;
    EXPECT_EQ(svcPbeInit(&context), 0);
    EXPECT_EQ(svcPbeSave(&context, plaintext.data(), static_cast<int32_t>(plaintext.size()), &text,
                         &length), 0);
    svcPbeTerm(&context);
    std::string result(text, static_cast<size_t>(length));
    svcPbeFreeBuf(text, length);
    return result;
  }

  ScratchDir dir_;
};

TEST_F(OrvcredTest, GetGivesValuesAndADistinctCodeForEachFault) {
  std::string key = dir_.write("initial.key", "the key\n");
  std::string other = dir_.write("other.key", "another key\n");
  std::string keystore = dir_.write(
      "keystore.conf", "pem.password = " + protect(key, "pem secret", 2) +
                           "\ncrl.ldap.pass = " + protect(key, "ldap secret", 1) +
                           "  # comment\npkcs11.token_pin = " + protect(other, "1234", 2) +
                           "\npem.keystore = /etc/server.pem # comment\n"
                           "twice = 1\ntwice = 2\npem.password.channel = plain text\n");
  struct Case { const char* key; int code; const char* value; } cases[] = {
      {"pem.password", ORVCRED_OK, "pem secret"},
      {"crl.ldap.pass", ORVCRED_OK, "ldap secret"},
      {"pem.keystore", ORVCRED_OK, "/etc/server.pem"},
      {"pem.password.channel", ORVCRED_OK, "plain text"},
      {"pkcs11.token_pin", ORVCRED_NOT_READABLE, nullptr},
      {"missing", ORVCRED_MISSING_KEY, nullptr},
      {"twice", ORVCRED_DUPLICATE_KEY, nullptr},
  };
  orvcred_keystore* handle = nullptr;
  ASSERT_EQ(orvcred_open(keystore.c_str(), key.c_str(), &handle), ORVCRED_OK);
  EXPECT_EQ(orvcred_uses_default_key(handle), 0);
  EXPECT_EQ(pbeLiveContexts(), 2) << "one master key per algorithm in use";
  for (const Case& c : cases) {
    char* value = reinterpret_cast<char*>(1);
    size_t length = 99;
    EXPECT_EQ(orvcred_get(handle, c.key, &value, &length), c.code) << c.key;
    EXPECT_EQ(std::string(value != nullptr ? value : "(null)"), c.value ? c.value : "(null)");
    EXPECT_EQ(length, c.value ? std::strlen(c.value) : 0u);
    orvcred_free_value(value);
  }
  EXPECT_EQ(orvcred_get(handle, nullptr, nullptr, nullptr), ORVCRED_BAD_ARGUMENT);
  orvcred_close(handle);
  EXPECT_EQ(pbeLiveContexts(), 0);
  // Plaintext credentials alone: the handle seals them under a master key
  // of its own, and gives them back as they stood.
  keystore = dir_.write("plain.conf", "pem.password = plain # c\npem.keystore = a.pem\n");
  ASSERT_EQ(orvcred_open(keystore.c_str(), key.c_str(), &handle), ORVCRED_OK);
  EXPECT_EQ(pbeLiveContexts(), 1);
  char* value = nullptr;
  size_t length = 0;
  ASSERT_EQ(orvcred_get(handle, "pem.password", &value, &length), ORVCRED_OK);
  EXPECT_EQ(std::string(value, length), "plain");
  orvcred_free_value(value);
  orvcred_close(handle);
}

// The library refuses what orvseal refuses, and opens what orvseal protects.
TEST_F(OrvcredTest, OpensExactlyTheKeystoresThatOrvsealTakes) {
  std::string key = dir_.write("initial.key", "the key\n");
  const std::string bom = "\xEF\xBB\xBF";
  struct Case { const char* name; std::string text; const char* keyFile; int code; } cases[] = {
      {"missing file", "", nullptr, ORVCRED_KEYSTORE_UNREADABLE},
      {"the key file line without '='", "orvcred.keyfile " + key + "\n", nullptr,
       ORVCRED_KEYSTORE_UNREADABLE},
      {"a byte order mark starting a later line", "a = 1\n" + bom + "pem.password = x\n",
       nullptr, ORVCRED_KEYSTORE_UNREADABLE},
      {"a line without '=' and no key file: the default key", "junk\npem.password = x\n",
       nullptr, ORVCRED_OK},
      {"a missing key file", "a = 1\n", "missing.key", ORVCRED_KEY_FILE_UNREADABLE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir_.file("case.conf");
    std::remove(path.c_str());
    if (!c.text.empty()) dir_.write("case.conf", c.text);
    orvcred_keystore* handle = reinterpret_cast<orvcred_keystore*>(1);
    EXPECT_EQ(orvcred_open(path.c_str(), c.keyFile, &handle), c.code);
    EXPECT_EQ(handle == nullptr, c.code != ORVCRED_OK);
    orvcred_close(handle);
  }
  EXPECT_EQ(orvcred_open(nullptr, nullptr, nullptr), ORVCRED_BAD_ARGUMENT);
}

#ifndef _WIN32
// A program that runs as root opens no keystore through another user's
// link: that user could point it at a file of their own, whose "values" the
// program would then trust. Its own links are followed.
TEST_F(OrvcredTest, AnotherUsersLinkLeadsNowhere) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can give a link away";
  std::string theirs = dir_.write("theirs.conf", "pem.password = chosen by them\n");
  std::string link = dir_.file("keystore.conf");
  ASSERT_EQ(symlink(theirs.c_str(), link.c_str()), 0);
  orvcred_keystore* handle = nullptr;
  ASSERT_EQ(orvcred_open(link.c_str(), nullptr, &handle), ORVCRED_OK);
  orvcred_close(handle);
  ASSERT_EQ(lchown(link.c_str(), 1234, 1234), 0);
  EXPECT_EQ(orvcred_open(link.c_str(), nullptr, &handle), ORVCRED_KEYSTORE_UNREADABLE);
  EXPECT_EQ(handle, nullptr);
}
#endif

// A key rotation replaces the keystore (which then names the new key file)
// and then removes the old key file. An open that read the old keystore and
// looks for its key after that reads the new keystore instead.
TEST_F(OrvcredTest, AnOpenDuringAKeyRotationReadsTheNewKeystore) {
  static std::string oldKey, newKeystore, keystore;
  oldKey = dir_.write("a.key", "key A\n");
  std::string newKey = dir_.write("b.key", "key B\n");
  keystore = dir_.write("keystore.conf", "orvcred.keyfile = " + oldKey + "\npem.password = " +
                                             protect(oldKey, "old", 2) + "\n");
  newKeystore = dir_.write("next.conf", "orvcred.keyfile = " + newKey + "\npem.password = " +
                                            protect(newKey, "rotated", 2) + "\n");
  platformSeams.stepReached = [](const char* step) {
    if (std::strcmp(step, "closed") != 0 || newKeystore.empty()) return;
#ifdef _WIN32  // rename there replaces no existing file
    ASSERT_TRUE(MoveFileExA(newKeystore.c_str(), keystore.c_str(), MOVEFILE_REPLACE_EXISTING));
#else
    ASSERT_EQ(std::rename(newKeystore.c_str(), keystore.c_str()), 0);
#endif
    ASSERT_EQ(std::remove(oldKey.c_str()), 0);
    newKeystore.clear();
  };
  orvcred_keystore* handle = nullptr;
  int rc = orvcred_open(keystore.c_str(), nullptr, &handle);
  platformSeams.stepReached = nullptr;
  ASSERT_EQ(rc, ORVCRED_OK);
  char* value = nullptr;
  size_t length = 0;
  EXPECT_EQ(orvcred_get(handle, "pem.password", &value, &length), ORVCRED_OK);
  EXPECT_EQ(std::string(value, length), "rotated");
  orvcred_free_value(value);
  orvcred_close(handle);
}

#ifdef _WIN32
// Windows keeps the environment in UTF-16, which may hold a lone surrogate:
// such a value names no file, and is not taken for unset either.
TEST_F(OrvcredTest, AVariableThatIsNoTextIsAnError) {
  std::string keystore = dir_.write("keystore.conf", "pem.password = x\n");
  for (const wchar_t* name : {L"VKT_ORVCRED_KEYFILE", L"VKT_KEYSTORE_CONF"}) {
    SetEnvironmentVariableW(name, L"k\xD800.key");
    orvcred_keystore* handle = nullptr;
    EXPECT_EQ(orvcred_open(name[4] == L'O' ? keystore.c_str() : nullptr, nullptr, &handle),
              ORVCRED_BAD_ENVIRONMENT);
    SetEnvironmentVariableW(name, nullptr);
  }
}
#endif

// Out of memory is said by its code, and a library never writes to its
// caller's console.
TEST_F(OrvcredTest, NoMemoryIsItsOwnCodeAndSilent) {
  std::string keystore = dir_.write("keystore.conf", "pem.password = x\n");
  setConsoleQuiet(false);
  for (uint64_t failAt = 1;; ++failAt) {
    SCOPED_TRACE(failAt);
    faultArm(FaultPlan{kFaultAlloc, failAt});
    orvcred_keystore* handle = nullptr;
    testing::internal::CaptureStderr();
    int code = orvcred_open(keystore.c_str(), nullptr, &handle);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    bool fired = faultFired();
    faultDisarm();
    orvcred_close(handle);
    EXPECT_EQ(code, fired ? ORVCRED_NO_MEMORY : ORVCRED_OK);
    if (!fired) break;
  }
  setConsoleQuiet(true);
}

}  // namespace
