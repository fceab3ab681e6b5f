#include "lib/orv/list.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "testing/config_helpers.h"
#include "platform/memory.h"
#include "testing/test_hooks.h"

namespace {

// Elements are pointers into this array, so that a node's data names its
// value and identity at once.
int values[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
void* element(int value) { return &values[value]; }

// The values of the list head to tail, after checking the links both ways
// and the count.
std::vector<int> contents(const List* list) {
  std::vector<int> forward;
  const ListNode* last = nullptr;
  for (const ListNode* node = list->head; node != nullptr; node = node->next) {
    EXPECT_EQ(node->prev, last) << "prev link of node " << forward.size();
    forward.push_back(node->data != nullptr ? *static_cast<const int*>(node->data) : -1);
    last = node;
  }
  EXPECT_EQ(list->tail, last);
  EXPECT_EQ(list->getCount(const_cast<List*>(list)), forward.size());
  return forward;
}

// A failed allocation is recorded and leaves the list as it was.
TEST(ListTest, FailedAllocationsAreRecordedAndLeaveTheListUnchanged) {
  const std::function<void(List*)> adds[] = {
      [](List* l) { l->append(l, element(9)); },
      [](List* l) { l->prepend(l, element(9)); },
      [](List* l) { l->insertAfter(l, l->head, element(9)); },
      [](List* l) { l->insertBefore(l, l->tail, element(9)); },
  };
  for (const auto& add : adds) {
    clearObservations();
    int64_t blocksAtStart = memoryBlocksOutstanding();
    List* list = createList();
    ASSERT_NE(list, nullptr);
    list->append(list, element(0));
    list->append(list, element(1));
    faultArm(FaultPlan{kFaultAlloc, 1, false, -1, 0});
    add(list);
    faultDisarm();
    EXPECT_EQ(contents(list), (std::vector<int>{0, 1}));
    ASSERT_EQ(failureRecords().size(), 1u);
    EXPECT_EQ(failureRecords()[0].sourceName, "lib/orv/list");
    list->removeAll(list, 0, nullptr);
    svcFreeMem(0, kMemoryComponent, 0, list);
    EXPECT_EQ(memoryBlocksOutstanding(), blocksAtStart);
  }
  faultArm(FaultPlan{kFaultAlloc, 1, false, -1, 0});
  EXPECT_EQ(createList(), nullptr);
}

}  // namespace
