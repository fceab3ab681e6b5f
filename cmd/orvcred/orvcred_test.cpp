// orvcred's check and rekey in process, every fault point swept as the
// SQLite way does it: each failure ends with a clean code, the keystore as
// it was, no side file, and every block released, which a run of the real
// program cannot show.
#include "cmd/orvcred/orvcred.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "lib/orvcred/include/orvcred.h"
#include "platform/memory.h"
#include "platform/messages.h"
#include "platform/pbe.h"
#include "testing/scratch_dir.h"
#include "testing/test_hooks.h"

namespace {

int32_t runOrvcred(std::vector<std::string> args) {
  args.insert(args.begin(), "orvcred");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return orvcredMain(static_cast<int32_t>(args.size()), argv.data());
}

class OrvcredFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pbeSetIterationsForTesting(1000);
    setConsoleQuiet(true);
    // Protected under the old key by rekey itself, which protects plaintext
    // values as orvseal does.
    dir.write("ks.conf", "pem.password = secret-one\nother = value\ncrl.ldap.pass = two\n");
    ASSERT_EQ(runOrvcred({"rekey", "-f", keystore, "-sf", oldKey, "-nf", oldKey}), 0);
    original = readFile(keystore);
  }
  void TearDown() override {
    faultDisarm();
    setConsoleQuiet(false);
    pbeSetIterationsForTesting(0);
  }

  bool noSideFile() const {
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      if (entry.path().extension() == ".bak") return false;
    }
    return true;
  }

  // Runs `args` with the Nth call of `sites` failing, N = 1, 2, ... until a
  // run meets no fault; each run that fails must leave everything as it was.
  // (A fault may also cost nothing, such as a failed close of a file that
  // was only read.) Returns the number of fault points.
  int sweep(const std::vector<std::string>& args, uint32_t sites) {
    int64_t blocksBefore = memoryBlocksOutstanding();
    for (uint64_t n = 1; n < 500; ++n) {
      SCOPED_TRACE("fault point " + std::to_string(n));
      dir.write("ks.conf", original);
      clearObservations();
      faultArm(FaultPlan{sites, n, false, -1, 0});
      int32_t rc = runOrvcred(args);
      bool fired = faultFired();
      faultDisarm();
      EXPECT_EQ(memoryBlocksOutstanding(), blocksBefore) << "every block released";
      EXPECT_TRUE(noSideFile());
      if (!fired) {
        EXPECT_EQ(rc, 0);
        return static_cast<int>(n - 1);
      }
      if (rc != 0) {
        EXPECT_EQ(readFile(keystore), original);
      }
    }
    ADD_FAILURE() << "the run never completed";
    return 0;
  }

  ScratchDir dir;
  std::string keystore = dir.file("ks.conf");
  std::string oldKey = dir.write("old.key", "the old key\n");
  std::string newKey = dir.write("new.key", "the new key\n");
  std::string original;
};

TEST_F(OrvcredFaultTest, EveryFaultOfARekeyLeavesTheKeystoreAsItWas) {
  EXPECT_GT(sweep({"rekey", "-f", keystore, "-sf", oldKey, "-nf", newKey},
                  kFaultAlloc | kFaultFileOps),
            10);
  // The run that completed moved every value to the new key.
  orvcred_keystore* handle = nullptr;
  ASSERT_EQ(orvcred_open(keystore.c_str(), newKey.c_str(), &handle), ORVCRED_OK);
  char* value = nullptr;
  size_t length = 0;
  EXPECT_EQ(orvcred_get(handle, "pem.password", &value, &length), ORVCRED_OK);
  EXPECT_EQ(std::string(value, length), "secret-one");
  orvcred_free_value(value);
  orvcred_close(handle);
}

TEST_F(OrvcredFaultTest, EveryFaultOfACheckChangesNothing) {
  EXPECT_GT(sweep({"check", "-f", keystore, "-sf", oldKey}, kFaultAlloc | kFaultFileOps), 5);
  EXPECT_EQ(readFile(keystore), original);
}

// A key file that cannot be created or written whole is no key: the run
// says why, and leaves no file.
TEST_F(OrvcredFaultTest, AKeyThatCannotBeWrittenLeavesNoFile) {
  struct Case { uint32_t site; int32_t code; uint32_t message; };
  const Case cases[] = {{kFaultOpen, 1, kMsgCannotOpen}, {kFaultWrite, 17, kMsgWriteFailed},
                        {kFaultFlush, 17, kMsgWriteFailed}};
  std::string key = dir.file("fresh.key");
  for (const Case& c : cases) {
    clearObservations();
    faultArm(FaultPlan{c.site, 1, false, -1, EACCES});
    EXPECT_EQ(runOrvcred({"genkey", key}), c.code);
    faultDisarm();
    ASSERT_EQ(shownMessages().size(), 1u);
    EXPECT_EQ(shownMessages()[0].number, c.message);
    EXPECT_FALSE(fileExists(key));
  }
}

}  // namespace
