#include "lib/orv/list.h"

#include <gtest/gtest.h>

#include <functional>
#include <iterator>
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
  EXPECT_EQ(list->count, forward.size());
  return forward;
}

void releaseList(List* list) {
  if (list == nullptr) return;
  list->removeAll(list, 0, nullptr);
  svcFreeMem(0, kMemoryComponent, 0, list);
}

class ListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    blocksAtStart_ = memoryBlocksOutstanding();
    list = createList();
    ASSERT_NE(list, nullptr);
  }

  void TearDown() override {
    releaseList(list);
    EXPECT_EQ(memoryBlocksOutstanding(), blocksAtStart_) << "blocks leaked";
  }

  void fill(std::initializer_list<int> items) {
    for (int item : items) list->append(list, element(item));
  }

  List* list = nullptr;

 private:
  int64_t blocksAtStart_ = 0;
};

TEST_F(ListTest, NewListIsEmptyWithEveryOperationFilledIn) {
  EXPECT_EQ(list->count, 0u);
  EXPECT_EQ(list->head, nullptr);
  EXPECT_EQ(list->tail, nullptr);
  EXPECT_EQ(list->getCount(list), 0u);
  const void* operations[] = {
      reinterpret_cast<const void*>(list->getCount),
      reinterpret_cast<const void*>(list->append),
      reinterpret_cast<const void*>(list->prepend),
      reinterpret_cast<const void*>(list->insertAfter),
      reinterpret_cast<const void*>(list->insertBefore),
      reinterpret_cast<const void*>(list->removeHead),
      reinterpret_cast<const void*>(list->removeTail),
      reinterpret_cast<const void*>(list->removeNode),
      reinterpret_cast<const void*>(list->removeAll),
      reinterpret_cast<const void*>(list->clear),
      reinterpret_cast<const void*>(list->findFirst),
      reinterpret_cast<const void*>(list->findFirstWithArg),
      reinterpret_cast<const void*>(list->findFirstWithKey),
      reinterpret_cast<const void*>(list->findData),
      reinterpret_cast<const void*>(list->forEach),
      reinterpret_cast<const void*>(list->forEachWithArg),
      reinterpret_cast<const void*>(list->forEachWithKey),
      reinterpret_cast<const void*>(list->countMatching),
      reinterpret_cast<const void*>(list->countMatchingWithArg),
      reinterpret_cast<const void*>(list->countMatchingWithKey),
  };
  for (size_t slot = 0; slot < std::size(operations); ++slot) {
    EXPECT_NE(operations[slot], nullptr) << "slot " << slot + 1;
  }
}

TEST_F(ListTest, OneElementIsHeadAndTailWithoutNeighbours) {
  for (bool atHead : {false, true}) {
    SCOPED_TRACE(atHead ? "prepend" : "append");
    if (atHead) {
      list->prepend(list, element(7));
    } else {
      list->append(list, element(7));
    }
    ASSERT_NE(list->head, nullptr);
    EXPECT_EQ(list->head, list->tail);
    EXPECT_EQ(list->head->next, nullptr);
    EXPECT_EQ(list->head->prev, nullptr);
    EXPECT_EQ(list->head->data, element(7));
    EXPECT_EQ(list->getCount(list), 1u);
    list->clear(list);
  }
}

TEST_F(ListTest, AddingOperationsPlaceElementsAndLinkBothNeighbours) {
  struct Case {
    const char* name;
    std::function<void(List*)> build;
    std::vector<int> expected;
  };
  const Case cases[] = {
      {"append keeps order", [](List* l) { for (int v : {0, 1, 2}) l->append(l, element(v)); },
       {0, 1, 2}},
      {"prepend reverses", [](List* l) { for (int v : {0, 1, 2}) l->prepend(l, element(v)); },
       {2, 1, 0}},
      {"prepend and append meet",
       [](List* l) {
         l->append(l, element(1));
         l->prepend(l, element(0));
         l->append(l, element(2));
       },
       {0, 1, 2}},
      {"insertAfter the tail appends",
       [](List* l) {
         l->append(l, element(0));
         l->append(l, element(1));
         l->insertAfter(l, l->tail, element(2));
       },
       {0, 1, 2}},
      {"insertAfter a null node on an empty list appends",
       [](List* l) { l->insertAfter(l, nullptr, element(5)); }, {5}},
      {"insertAfter the head of three",
       [](List* l) {
         for (int v : {0, 1, 2}) l->append(l, element(v));
         l->insertAfter(l, l->head, element(9));
       },
       {0, 9, 1, 2}},
      {"insertAfter the middle node",
       [](List* l) {
         for (int v : {0, 1, 2}) l->append(l, element(v));
         l->insertAfter(l, l->head->next, element(9));
       },
       {0, 1, 9, 2}},
      {"insertBefore the head prepends",
       [](List* l) {
         l->append(l, element(0));
         l->append(l, element(1));
         l->insertBefore(l, l->head, element(2));
       },
       {2, 0, 1}},
      {"insertBefore a null node on an empty list prepends",
       [](List* l) { l->insertBefore(l, nullptr, element(5)); }, {5}},
      {"insertBefore the tail of three",
       [](List* l) {
         for (int v : {0, 1, 2}) l->append(l, element(v));
         l->insertBefore(l, l->tail, element(9));
       },
       {0, 1, 9, 2}},
      {"insertBefore the middle node",
       [](List* l) {
         for (int v : {0, 1, 2}) l->append(l, element(v));
         l->insertBefore(l, l->head->next, element(9));
       },
       {0, 9, 1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.build(list);
    EXPECT_EQ(contents(list), c.expected);
    EXPECT_EQ(list->getCount(list), c.expected.size());
    list->clear(list);
  }
}

TEST_F(ListTest, RemovalsRelinkNeighboursAndFreeTheNodeAlone) {
  struct Case {
    const char* name;
    std::vector<int> start;
    std::function<void(List*)> remove;
    std::vector<int> expected;
  };
  const Case cases[] = {
      {"removeHead", {0, 1, 2, 3}, [](List* l) { l->removeHead(l); }, {1, 2, 3}},
      {"removeTail", {0, 1, 2, 3}, [](List* l) { l->removeTail(l); }, {0, 1, 2}},
      {"removeNode inner", {0, 1, 2, 3}, [](List* l) { l->removeNode(l, l->head->next); },
       {0, 2, 3}},
      {"removeNode head", {0, 1, 2, 3}, [](List* l) { l->removeNode(l, l->head); }, {1, 2, 3}},
      {"removeNode tail", {0, 1, 2, 3}, [](List* l) { l->removeNode(l, l->tail); }, {0, 1, 2}},
      {"removeHead of two", {0, 1}, [](List* l) { l->removeHead(l); }, {1}},
      {"removeTail of two", {0, 1}, [](List* l) { l->removeTail(l); }, {0}},
      {"removeNode of the only node", {4}, [](List* l) { l->removeNode(l, l->head); }, {}},
      {"removeHead of the only node", {4}, [](List* l) { l->removeHead(l); }, {}},
      {"removeTail of the only node", {4}, [](List* l) { l->removeTail(l); }, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Elements from the services, so that freeing one would show.
    std::vector<void*> blocks;
    for (int v : c.start) {
      void* block = nullptr;
      ASSERT_EQ(svcGetMem(0, kMemoryComponent, 1, sizeof(int), 0, &block), 0);
      *static_cast<int*>(block) = v;
      blocks.push_back(block);
      list->append(list, block);
    }
    int64_t blocksBefore = memoryBlocksOutstanding();
    c.remove(list);
    EXPECT_EQ(contents(list), c.expected);
    EXPECT_EQ(memoryBlocksOutstanding(), blocksBefore - 1) << "only the node is released";
    for (size_t i = 0; i < blocks.size(); ++i) {
      EXPECT_EQ(*static_cast<int*>(blocks[i]), c.start[i]) << "element untouched";
    }
    list->clear(list);
    for (void* block : blocks) svcFreeMem(0, kMemoryComponent, 0, block);
  }
}

TEST_F(ListTest, RemovalsOnAnEmptyListChangeNothing) {
  list->removeHead(list);
  list->removeTail(list);
  list->removeNode(list, nullptr);
  EXPECT_EQ(contents(list), std::vector<int>{});
  EXPECT_EQ(list->head, nullptr);
}

std::vector<int> visited;

void recordVisit(void* item) { visited.push_back(*static_cast<int*>(item)); }

TEST_F(ListTest, RemoveAllVisitsThenFreesEachElementAndLeavesAReusableList) {
  int64_t blocksBefore = memoryBlocksOutstanding();
  for (int v : {3, 1, 4, 1, 5}) {
    void* block = nullptr;
    ASSERT_EQ(svcGetMem(0, kMemoryComponent, 1, sizeof(int), 0, &block), 0);
    *static_cast<int*>(block) = v;
    list->append(list, block);
  }
  list->append(list, nullptr);  // a node without element is passed over
  visited.clear();
  // The visitor reads each element: it would read a wiped value if the
  // element were freed first.
  list->removeAll(list, 1, [](void* item) {
    visited.push_back(item != nullptr ? *static_cast<int*>(item) : -1);
  });
  EXPECT_EQ(visited, (std::vector<int>{3, 1, 4, 1, 5, -1}));
  EXPECT_EQ(memoryBlocksOutstanding(), blocksBefore) << "elements and nodes released";
  EXPECT_EQ(list->head, nullptr);
  EXPECT_EQ(list->tail, nullptr);
  EXPECT_EQ(list->getCount(list), 0u);

  fill({8, 9});
  EXPECT_EQ(contents(list), (std::vector<int>{8, 9}));
}

TEST_F(ListTest, RemoveAllWithoutFreeFlagAndClearKeepTheElements) {
  fill({0, 1, 2});
  visited.clear();
  list->removeAll(list, 0, recordVisit);
  EXPECT_EQ(visited, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(contents(list), std::vector<int>{});

  fill({5, 6});
  list->clear(list);
  EXPECT_EQ(contents(list), std::vector<int>{});
  EXPECT_EQ(values[5], 5);
  EXPECT_EQ(values[6], 6);
}

int predicateCalls = 0;

int32_t isEven(const void* item) {
  ++predicateCalls;
  return *static_cast<const int*>(item) % 2 == 0 ? 1 : 0;
}

int32_t isAbove(const void* item, const void* arg) {
  ++predicateCalls;
  return *static_cast<const int*>(item) > *static_cast<const int*>(arg) ? 1 : 0;
}

void sumInto(void* item, void* arg) { *static_cast<int*>(arg) += *static_cast<int*>(item); }

TEST_F(ListTest, WalkingOperationsTolerateNullPredicatesAndVisitors) {
  fill({1, 2, 3});
  EXPECT_EQ(list->findFirst(list, nullptr), nullptr);
  EXPECT_EQ(list->findFirstWithArg(list, nullptr, element(0)), nullptr);
  EXPECT_EQ(list->findFirstWithKey(list, nullptr, element(0)), nullptr);
  EXPECT_EQ(list->countMatching(list, nullptr), 0u);
  EXPECT_EQ(list->countMatchingWithArg(list, nullptr, element(0)), 0u);
  EXPECT_EQ(list->countMatchingWithKey(list, nullptr, element(0)), 0u);
  list->forEach(list, nullptr);
  list->forEachWithArg(list, nullptr, nullptr);
  list->forEachWithKey(list, nullptr, nullptr);
  EXPECT_EQ(contents(list), (std::vector<int>{1, 2, 3}));
}

TEST_F(ListTest, FindFirstAndCountMatchingWalkHeadToTail) {
  fill({1, 3, 4, 7, 6});
  predicateCalls = 0;
  ListNode* found = list->findFirst(list, isEven);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found, list->head->next->next);
  EXPECT_EQ(predicateCalls, 3) << "stops at the first match";

  predicateCalls = 0;
  EXPECT_EQ(list->countMatching(list, isEven), 2u);
  EXPECT_EQ(predicateCalls, 5) << "sees every element";

  visited.clear();
  list->forEach(list, recordVisit);
  EXPECT_EQ(visited, (std::vector<int>{1, 3, 4, 7, 6}));

  EXPECT_EQ(list->findFirst(list, [](const void*) -> int32_t { return 0; }), nullptr);
}

TEST_F(ListTest, KeyOperationsBehaveAsTheirArgumentSiblings) {
  fill({1, 3, 4, 7, 6});
  for (int limit : {0, 3, 5, 7, 9}) {
    SCOPED_TRACE(limit);
    const void* arg = element(limit);
    ListNode* byArg = list->findFirstWithArg(list, isAbove, arg);
    EXPECT_EQ(list->findFirstWithKey(list, isAbove, arg), byArg);
    uint32_t countByArg = list->countMatchingWithArg(list, isAbove, arg);
    EXPECT_EQ(list->countMatchingWithKey(list, isAbove, arg), countByArg);
    int expectedCount = 0;
    for (int v : {1, 3, 4, 7, 6}) expectedCount += v > limit ? 1 : 0;
    EXPECT_EQ(countByArg, static_cast<uint32_t>(expectedCount));
    EXPECT_EQ(byArg == nullptr, expectedCount == 0);
  }
  int sumByArg = 0;
  int sumByKey = 0;
  list->forEachWithArg(list, sumInto, &sumByArg);
  list->forEachWithKey(list, sumInto, &sumByKey);
  EXPECT_EQ(sumByArg, 21);
  EXPECT_EQ(sumByKey, 21);
}

TEST_F(ListTest, FindDataComparesPointers) {
  fill({1, 2});
  list->append(list, nullptr);
  list->append(list, element(2));
  EXPECT_EQ(list->findData(list, element(2)), list->head->next);
  EXPECT_EQ(list->findData(list, nullptr), list->head->next->next);
  EXPECT_EQ(list->findData(list, element(9)), nullptr);
  int lookalike = 2;
  EXPECT_EQ(list->findData(list, &lookalike), nullptr) << "an equal value is not the element";
}

TEST(ListAllocationTest, FailedAllocationsAreRecordedAndLeaveTheListUnchanged) {
  struct Case {
    const char* name;
    std::vector<int> start;
    int32_t probe;
    std::function<void(List*)> add;
    int32_t location;
  };
  const Case cases[] = {
      {"append to empty", {}, 220, [](List* l) { l->append(l, element(9)); }, 66},
      {"append", {0, 1}, 220, [](List* l) { l->append(l, element(9)); }, 66},
      {"prepend", {0, 1}, 224, [](List* l) { l->prepend(l, element(9)); }, 106},
      {"insertAfter inner", {0, 1}, 221, [](List* l) { l->insertAfter(l, l->head, element(9)); },
       155},
      {"insertBefore inner", {0, 1}, 222,
       [](List* l) { l->insertBefore(l, l->tail, element(9)); }, 193},
      {"insertAfter the tail goes through append", {0, 1}, 220,
       [](List* l) { l->insertAfter(l, l->tail, element(9)); }, 66},
      {"insertBefore the head goes through prepend", {0, 1}, 224,
       [](List* l) { l->insertBefore(l, l->head, element(9)); }, 106},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clearObservations();
    int64_t blocksAtStart = memoryBlocksOutstanding();
    List* list = createList();
    ASSERT_NE(list, nullptr);
    for (int v : c.start) list->append(list, element(v));
    // Only the expected probe fails: an operation that used another probe
    // would get its node and grow the list.
    FaultPlan plan;
    plan.sites = kFaultAlloc;
    plan.failAt = 1;
    plan.probe = c.probe;
    faultArm(plan);
    c.add(list);
    faultDisarm();
    EXPECT_EQ(contents(list), c.start);
    EXPECT_EQ(describedFailures(), std::vector<std::string>{"lib/orv/list:" +
                                                            std::to_string(c.location) +
                                                            " probe 250 reason 2071"});
    releaseList(list);
    EXPECT_EQ(memoryBlocksOutstanding(), blocksAtStart);
  }
}

TEST(ListAllocationTest, CreateListWithoutMemoryIsNullAndRecorded) {
  int64_t blocksAtStart = memoryBlocksOutstanding();
  FaultPlan plan;
  plan.sites = kFaultAlloc;
  plan.failAt = 1;
  plan.probe = 223;
  faultArm(plan);
  EXPECT_EQ(createList(), nullptr);
  EXPECT_EQ(describedFailures(),
            std::vector<std::string>{"lib/orv/list:698 probe 250 reason 2071"});
  EXPECT_EQ(memoryBlocksOutstanding(), blocksAtStart);
}

}  // namespace
