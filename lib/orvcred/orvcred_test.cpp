#include "lib/orvcred/include/orvcred.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "lib/orvcred/initial_key.h"
#include "lib/orvcred/master_keys.h"
#include "platform/pbe.h"
#include "platform/program.h"
#include "testing/test_hooks.h"
#include "testing/scratch_dir.h"

namespace {

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
    MasterKeys keys;
    char* text = nullptr;
    int32_t length = 0;
    EXPECT_EQ(chooseInitialKey("unused", keyFile.c_str(), &key), 0);
    EXPECT_EQ(keys.derive(key.bytes, key.length, algorithm), 0);
    EXPECT_EQ(keys.save(algorithm, plaintext.data(), static_cast<int32_t>(plaintext.size()), &text,
                        &length), 0);
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
}

TEST_F(OrvcredTest, OpenFailuresLeaveNoHandle) {
  orvcred_keystore* handle = reinterpret_cast<orvcred_keystore*>(1);
  EXPECT_EQ(orvcred_open(dir_.file("missing.conf").c_str(), nullptr, &handle),
            ORVCRED_KEYSTORE_UNREADABLE);
  EXPECT_EQ(handle, nullptr);
  handle = reinterpret_cast<orvcred_keystore*>(1);
  std::string keystore = dir_.write("keystore.conf", "a = 1\n");
  EXPECT_EQ(orvcred_open(keystore.c_str(), "missing.key", &handle), ORVCRED_KEY_FILE_UNREADABLE);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(orvcred_open(nullptr, nullptr, nullptr), ORVCRED_BAD_ARGUMENT);
}

TEST_F(OrvcredTest, HandlesInTwoThreadsDoNotInterfere) {
  std::string keys[2] = {dir_.write("one.key", "one\n"), dir_.write("two.key", "two\n")};
  std::string stores[2];
  for (int i = 0; i < 2; ++i) {
    stores[i] = dir_.write("keystore" + std::to_string(i) + ".conf",
                           "pem.password = " + protect(keys[i], "secret " + std::to_string(i), 2) +
                               "\n");
  }
  int failures[2] = {0, 0};
  auto reader = [&](int i) {
    orvcred_keystore* handle = nullptr;
    failures[i] = orvcred_open(stores[i].c_str(), keys[i].c_str(), &handle);
    for (int round = 0; round < 200 && handle != nullptr; ++round) {
      char* value = nullptr;
      size_t length = 0;
      if (orvcred_get(handle, "pem.password", &value, &length) != ORVCRED_OK ||
          std::string(value, length) != "secret " + std::to_string(i)) {
        ++failures[i];
      }
      orvcred_free_value(value);
    }
    orvcred_close(handle);
  };
  std::thread first(reader, 0);
  std::thread second(reader, 1);
  first.join();
  second.join();
  EXPECT_EQ(failures[0], 0);
  EXPECT_EQ(failures[1], 0);
}

}  // namespace
