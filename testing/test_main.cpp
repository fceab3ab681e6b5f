// Test entry shared by the unit test executables: every test starts with the
// platform's fault plan disarmed, no recorded observations, tracing off and
// the console quiet.
#include <gtest/gtest.h>

#include "testing/test_hooks.h"
#include "platform/trace.h"

namespace {

class PlatformReset : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { reset(); }
  void OnTestEnd(const ::testing::TestInfo&) override { reset(); }

  static void reset() {
    faultDisarm();
    clearObservations();
    traceStop();
    setConsoleQuiet(true);
  }
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new PlatformReset);
  return RUN_ALL_TESTS();
}
