// Test entry shared by the unit test executables: every test starts with the
// platform's fault plan disarmed, no recorded observations, tracing off and
// the console quiet, and must end having given back every block of the
// platform's allocator and wiped every master key it derived.
#include <gtest/gtest.h>

#include "platform/memory.h"
#include "platform/pbe.h"
#include "platform/trace.h"
#include "testing/test_hooks.h"

namespace {

class PlatformReset : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override {
    reset();
    blocks_ = memoryBlocksOutstanding();
    contexts_ = pbeLiveContexts();
  }
  void OnTestEnd(const ::testing::TestInfo&) override {
    EXPECT_EQ(memoryBlocksOutstanding(), blocks_) << "blocks leaked";
    EXPECT_EQ(pbeLiveContexts(), contexts_) << "a master key was not wiped";
    reset();
  }

  static void reset() {
    faultDisarm();
    clearObservations();
    traceStop();
    setConsoleQuiet(true);
  }

  int64_t blocks_ = 0;
  int64_t contexts_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new PlatformReset);
  return RUN_ALL_TESTS();
}
