// The protection run driven in process, for the failures that no user can
// cause from outside: the services' start and the PBE service. The sweeps
// over every allocation and file operation are in orvseal_fault_test.cpp.
#include "cmd/orv/orvseal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cmd/orv/rewriter.h"
#include "lib/orv/param_lookup.h"
#include "platform/files.h"
#include "platform/messages.h"
#include "platform/pbe.h"
#include "platform/program.h"
#include "testing/test_hooks.h"
#include "platform/trace.h"
#include "testing/scratch_dir.h"

namespace {

const char kKeystore[] =
    "# keystore\n"
    "pem.keystore = /etc/server.pem\n"
    "pem.password = secret-one\n"
    "crl.ldap.pass = secret-two\n"
    "other = value\n";

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    keystore = dir.write("keystore.conf", kKeystore);
    keyFile = dir.write("initial.key", "unit test key\n");
  }

  void TearDown() override {
    svcProcessAnchor.status = 0;
    // Whatever the way out, a master key that svcPbeInit derived is wiped.
    EXPECT_EQ(pbeLiveContexts(), liveBefore) << "svcPbeTerm was not called";
  }

  // Runs the command as the process would, from a clean start.
  int32_t run(std::vector<std::string> args) {
    resetCredentialStates();
    configMessagesEnabled = 1;
    args.insert(args.begin(), "orvseal");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    return orvsealMain(static_cast<int32_t>(args.size()), argv.data());
  }

  int32_t protectKeystore() { return run({"-f", keystore, "-sf", keyFile}); }

  std::vector<uint32_t> shownNumbers() const {
    std::vector<uint32_t> numbers;
    for (const ShownMessage& message : shownMessages()) numbers.push_back(message.number);
    return numbers;
  }

  bool keystoreUnchanged() const { return readText(keystore) == kKeystore; }

  // Every credential protected, every other line as it was.
  bool keystoreProtected() const {
    std::string text = readText(keystore);
    return text.find("secret-") == std::string::npos &&
           text.find("pem.encrypted = YES\npem.password = <ORV>2!") != std::string::npos &&
           text.find("crl.encrypted = YES\ncrl.ldap.pass = <ORV>2!") != std::string::npos &&
           text.rfind("# keystore\npem.keystore = /etc/server.pem\n", 0) == 0 &&
           text.size() > 12 && text.compare(text.size() - 14, 14, "other = value\n") == 0;
  }

  ScratchDir dir;
  std::string keystore;
  std::string keyFile;
  int64_t liveBefore = pbeLiveContexts();
};

TEST_F(RunTest, FailedConsistencyCheckEndsAtOnceWithTwenty) {
  faultArm(FaultPlan{kFaultCheckConsistency, 1, false, -1, 1});
  ::testing::internal::CaptureStdout();
  int32_t code = protectKeystore();
  std::string console = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(code, 20);
  EXPECT_EQ(console, "");
  EXPECT_TRUE(shownMessages().empty());
  EXPECT_TRUE(keystoreUnchanged());
}

TEST_F(RunTest, FailedServiceStartWritesTheConsoleLineAndMapsTheResult) {
  struct Case {
    int32_t code;
    int32_t anchorStatus;
    const char* console;
  };
  const Case cases[] = {
      {kInitNoMemory, 0, "svcMiniInitialize failed: 536895543\n"},
      {kInitBadLevel, 0, "svcMiniInitialize failed: 536903782\n"},
      {5, kAnchorStatusUnavailable, "svcMiniInitialize failed: 5\n"},
      {-7, 0, "svcMiniInitialize failed: -7\n"},
  };
  for (const Case& c : cases) {
    clearObservations();
    svcProcessAnchor.status = c.anchorStatus;
    faultArm(FaultPlan{kFaultInitialize, 1, false, -1, c.code});
    ::testing::internal::CaptureStdout();
    int32_t exitCode = protectKeystore();
    std::string console = ::testing::internal::GetCapturedStdout();
    // Each of these results lies beyond 8 bits, so all map to the same code.
    EXPECT_EQ(exitCode, 255) << c.code;
    EXPECT_EQ(console, c.console);
    EXPECT_TRUE(shownMessages().empty()) << "no copyright, no message";
    EXPECT_TRUE(keystoreUnchanged());
  }
}

TEST_F(RunTest, FailedPbeInitShowsItsCodeAndTouchesNoFile) {
  faultArm(FaultPlan{kFaultPbeInit, 1, false, -1, kPbeCryptoFailure});
  EXPECT_EQ(protectKeystore(), kPbeCryptoFailure);
  ASSERT_EQ(shownNumbers(), std::vector<uint32_t>{kMsgPbeFailed});
  EXPECT_NE(shownMessages()[0].text.find("failed with code 67."), std::string::npos);
  EXPECT_TRUE(keystoreUnchanged());
  EXPECT_FALSE(fileExists(keystore + ".bak"));
}

// An -o file is written whole or not at all: a failure leaves no part of it.
TEST_F(RunTest, FailedProtectionLeavesNoOutputFile) {
  std::string output = dir.file("out.conf");
  faultArm(FaultPlan{kFaultPbeSave, 2, false, -1, kPbeRandomFailure});
  EXPECT_EQ(run({"-f", keystore, "-o", output, "-sf", keyFile}), kPbeRandomFailure);
  EXPECT_TRUE(keystoreUnchanged());
  FileKind kind = FileKind::kRegular;
  EXPECT_EQ(osFileKind(output.c_str(), &kind), 0);
  EXPECT_EQ(kind, FileKind::kMissing);
}

}  // namespace
