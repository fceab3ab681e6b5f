#include "lib/orv/list.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "lib/orv/test_support.h"
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

int32_t isAbove(const void* item, const void* limit) {
  return *static_cast<const int*>(item) > *static_cast<const int*>(limit) ? 1 : 0;
}
int32_t isEven(const void* item) { return *static_cast<const int*>(item) % 2 == 0 ? 1 : 0; }
std::vector<int> visited;
void recordVisit(void* item) { visited.push_back(item != nullptr ? *static_cast<int*>(item) : -1); }
void sumInto(void* item, void* sum) { *static_cast<int*>(sum) += *static_cast<int*>(item); }

// Each step changes the list as a caller sees it; no block outlives it.
TEST(ListTest, OperationsKeepTheLinksTheCountAndTheOrder) {
  int64_t blocksAtStart = memoryBlocksOutstanding();
  List* list = createList();
  ASSERT_NE(list, nullptr);
  struct Step {
    const char* what;
    std::function<void(List*)> apply;
    std::vector<int> expected;
  } steps[] = {
      {"removals on an empty list", [](List* l) { l->removeHead(l); l->removeTail(l); }, {}},
      {"insertAfter on an empty list appends", [](List* l) { l->insertAfter(l, nullptr, element(2)); }, {2}},
      {"append", [](List* l) { l->append(l, element(4)); }, {2, 4}},
      {"prepend", [](List* l) { l->prepend(l, element(1)); }, {1, 2, 4}},
      {"insertAfter inside", [](List* l) { l->insertAfter(l, l->head, element(7)); }, {1, 7, 2, 4}},
      {"insertBefore inside", [](List* l) { l->insertBefore(l, l->tail, element(3)); }, {1, 7, 2, 3, 4}},
      {"insertAfter the tail", [](List* l) { l->insertAfter(l, l->tail, element(9)); }, {1, 7, 2, 3, 4, 9}},
      {"insertBefore the head", [](List* l) { l->insertBefore(l, l->head, element(0)); }, {0, 1, 7, 2, 3, 4, 9}},
      {"removeNode inside", [](List* l) { l->removeNode(l, l->head->next->next); }, {0, 1, 2, 3, 4, 9}},
      {"removeHead", [](List* l) { l->removeHead(l); }, {1, 2, 3, 4, 9}},
      {"removeTail", [](List* l) { l->removeTail(l); }, {1, 2, 3, 4}},
      {"removeNode the tail", [](List* l) { l->removeNode(l, l->tail); }, {1, 2, 3}},
      {"removeNode the head", [](List* l) { l->removeNode(l, l->head); }, {2, 3}},
  };
  for (const Step& step : steps) {
    step.apply(list);
    EXPECT_EQ(contents(list), step.expected) << step.what;
  }

  list->clear(list);
  for (int v : {1, 3, 4, 7, 6}) list->append(list, element(v));
  const void* five = element(5);
  EXPECT_EQ(list->findFirst(list, isEven), list->head->next->next);
  EXPECT_EQ(list->findFirstWithArg(list, isAbove, five), list->head->next->next->next);
  EXPECT_EQ(list->findFirstWithKey(list, isAbove, five), list->head->next->next->next);
  EXPECT_EQ(list->findFirst(list, nullptr), nullptr);
  EXPECT_EQ(list->findData(list, element(6)), list->tail);
  int lookalike = 6;
  EXPECT_EQ(list->findData(list, &lookalike), nullptr) << "an equal value is not the element";
  EXPECT_EQ(list->countMatching(list, isEven), 2u);
  EXPECT_EQ(list->countMatchingWithArg(list, isAbove, five), 2u);
  EXPECT_EQ(list->countMatchingWithKey(list, isAbove, element(0)), 5u);
  EXPECT_EQ(list->countMatchingWithKey(list, nullptr, five), 0u);
  int sum = 0;
  list->forEachWithArg(list, sumInto, &sum);
  list->forEachWithKey(list, sumInto, &sum);
  EXPECT_EQ(sum, 42);
  visited.clear();
  list->forEach(list, recordVisit);
  EXPECT_EQ(visited, (std::vector<int>{1, 3, 4, 7, 6}));

  list->removeAll(list, 0, nullptr);
  svcFreeMem(0, kMemoryComponent, 0, list);
  EXPECT_EQ(memoryBlocksOutstanding(), blocksAtStart);
}

// removeAll visits each element before it frees it, and leaves a list that
// can be filled again.
TEST(ListTest, RemoveAllVisitsThenFreesEachElement) {
  int64_t blocksAtStart = memoryBlocksOutstanding();
  List* list = createList();
  ASSERT_NE(list, nullptr);
  for (int v : {3, 1, 4}) {
    void* block = nullptr;
    ASSERT_EQ(svcGetMem(0, kMemoryComponent, 1, sizeof(int), 0, &block), 0);
    *static_cast<int*>(block) = v;
    list->append(list, block);
  }
  list->append(list, nullptr);
  visited.clear();
  list->removeAll(list, 1, recordVisit);
  EXPECT_EQ(visited, (std::vector<int>{3, 1, 4, -1}));
  EXPECT_EQ(contents(list), std::vector<int>{});
  list->append(list, element(8));
  EXPECT_EQ(contents(list), std::vector<int>{8});
  list->removeAll(list, 0, nullptr);
  svcFreeMem(0, kMemoryComponent, 0, list);
  EXPECT_EQ(memoryBlocksOutstanding(), blocksAtStart);
}

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
