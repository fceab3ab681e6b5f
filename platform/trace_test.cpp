#include "platform/trace.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/scratch_dir.h"

namespace {

int32_t tracedLeaf(int32_t result) {
  TraceScope scope(163);
  ORV_TRACE_TEXT(163, 2, "leaf %d", result);
  return scope.result(result);
}

int32_t tracedCaller(int32_t result) {
  TraceScope scope(157);
  return scope.result(tracedLeaf(result));
}

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

TEST_F(TraceTest, TraceFileGetsOneLinePerRecordOnlyWhileTracing) {
  ScratchDir dir;
  std::string path = dir.file("trace.log");

  tracedLeaf(3);  // before tracing: no file
  EXPECT_FALSE(fileExists(path));

  ASSERT_EQ(traceStart(path.c_str()), 0);
  tracedCaller(4);
  ORV_TRACE_TEXT(370, 0, "Using keystore: '%s' from command line\n", "a.conf");
  traceStop();
  tracedLeaf(5);  // after tracing: nothing more

  std::string trace = readFile(path);
  const char* expected[] = {
      "loadStanza(157) ENTRY\n",
      "readConfigFile(163) ENTRY\n",
      "readConfigFile(163) TEXT detail=2 leaf 4\n",
      "readConfigFile(163) EXIT rc=4\n",
      "loadStanza(157) EXIT rc=4\n",
      "protectionRun(370) TEXT detail=0 Using keystore: 'a.conf' from command line\\n\n",
  };
  size_t position = 0;
  for (const char* line : expected) {
    size_t found = trace.find(line, position);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "in\n" << trace;
    position = found + 1;
  }
  EXPECT_EQ(trace.find("leaf 3"), std::string::npos);
  EXPECT_EQ(trace.find("rc=5"), std::string::npos);
  size_t lines = 0;
  for (char c : trace) lines += c == '\n';
  EXPECT_EQ(lines, 6u);
}

}  // namespace
