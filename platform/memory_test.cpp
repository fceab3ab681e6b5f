#include "platform/memory.h"

#include <gtest/gtest.h>

#include <cstring>

#include "testing/test_hooks.h"

namespace {

TEST(MemoryTest, BlocksAreCountedUntilReleased) {
  int64_t before = memoryBlocksOutstanding();
  void* a = nullptr;
  void* b = nullptr;
  ASSERT_EQ(svcGetMem(0, 16, 1, 100, 0, &a), 0);
  ASSERT_EQ(svcGetMem(0, 16, 2, 0, 0, &b), 0);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  std::memset(a, 'x', 100);
  EXPECT_EQ(memoryBlocksOutstanding(), before + 2);
  svcFreeMem(0, 16, 0, a);
  svcFreeMem(0, 16, 0, b);
  svcFreeMem(0, 16, 0, nullptr);
  EXPECT_EQ(memoryBlocksOutstanding(), before);
}

TEST(MemoryTest, FailureRecordNamesTheSite) {
  svcSaveFileContext("lib/orv/list", 66);
  svcRecordFailure(250, 2071, 0, 0, 0, 0);
  ASSERT_EQ(failureRecords().size(), 1u);
  EXPECT_EQ(failureRecords()[0].sourceName, "lib/orv/list");
  EXPECT_EQ(failureRecords()[0].line, 66);
  EXPECT_EQ(failureRecords()[0].probe, 250);
  EXPECT_EQ(failureRecords()[0].reason, 2071);
}

}  // namespace
