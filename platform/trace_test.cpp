#include "platform/trace.h"

#include <gtest/gtest.h>

namespace {

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    block = traceAttachThread();
    ASSERT_NE(block, nullptr);
    *block = ThreadBlock{};
    svcProcessAnchor = ProcessAnchor{};
  }

  ThreadBlock* block = nullptr;
};

TEST_F(TraceTest, StackDeeperThanItsCapacityUnwindsCleanly) {
  for (int i = 0; i < kTraceStackCapacity + 10; ++i) traceEnter(164);
  EXPECT_EQ(block->depth, kTraceStackCapacity + 10);
  for (int i = 0; i < kTraceStackCapacity + 10; ++i) traceLeave(164, 0);
  EXPECT_EQ(block->depth, 0);
}

TEST_F(TraceTest, TextGatingFollowsAnchorAndThreadWords) {
  struct Case { ProcessAnchor anchor; int32_t traceWord; uint32_t options; bool enabled; };
  const Case cases[] = {
      {{0, 0, 0, 0}, 1, kTraceTextOptionBits, false},  // anchor off
      {{1, 0, 0, 0}, 1, kTraceTextOptionBits, false},  // neither second nor global
      {{1, 1, 0, 0}, 1, kTraceTextOptionBits, true},
      {{1, 1, 0, 0}, 1, 0x40000u, true},               // one of the bits suffices
      {{1, 1, 0, 0}, 1, 0x30000u, false},              // other option bits do not count
      {{1, 1, 0, 0}, 0, kTraceTextOptionBits, false},  // thread trace word off
      {{1, 0, 1, 0}, 0, 0, true},                      // the global word overrides
  };
  for (const Case& c : cases) {
    svcProcessAnchor = c.anchor;
    block->traceWord = c.traceWord;
    block->traceOptions = c.options;
    EXPECT_EQ(traceTextEnabled(), c.enabled)
        << "on " << c.anchor.traceOn << " second " << c.anchor.traceSecond << " global "
        << c.anchor.traceGlobal << " word " << c.traceWord << " options " << c.options;
  }
}

}  // namespace
