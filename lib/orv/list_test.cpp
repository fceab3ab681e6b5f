#include "lib/orv/list.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/memory.h"
#include "testing/test_hooks.h"

namespace {

// The elements' letters head to tail; walked back from the tail, the links
// and the count must say the same.
std::string letters(List* list) {
  std::string forward;
  std::string backward;
  for (ListNode* node = list->head; node != nullptr; node = node->next) {
    forward += *static_cast<char*>(node->data);
  }
  for (ListNode* node = list->tail; node != nullptr; node = node->prev) {
    backward.insert(0, 1, *static_cast<char*>(node->data));
  }
  EXPECT_EQ(forward, backward);
  EXPECT_EQ(list->getCount(list), forward.size());
  return forward;
}

int32_t isB(const void* element) { return *static_cast<const char*>(element) == 'b'; }
int32_t sameLetter(const void* element, const void* letter) {
  return *static_cast<const char*>(element) == *static_cast<const char*>(letter);
}

TEST(ListTest, OperationsKeepBothDirectionsAndTheCount) {
  int64_t blocks = memoryBlocksOutstanding();
  char a = 'a', b = 'b', c = 'c', d = 'd', e = 'e';
  List* list = createList();
  ASSERT_NE(list, nullptr);
  list->append(list, &c);
  list->prepend(list, &a);
  list->insertAfter(list, list->head, &b);
  list->insertAfter(list, list->tail, &e);
  list->insertBefore(list, list->tail, &d);
  EXPECT_EQ(letters(list), "abcde");
  EXPECT_EQ(list->findFirst(list, isB)->data, &b);
  EXPECT_EQ(list->findFirstWithArg(list, sameLetter, &d)->data, &d);
  EXPECT_EQ(list->findData(list, &e), list->tail);
  EXPECT_EQ(list->countMatchingWithArg(list, sameLetter, &a), 1u);
  EXPECT_EQ(list->findFirst(list, nullptr), nullptr);
  list->removeNode(list, list->head->next->next);
  list->removeHead(list);
  list->removeTail(list);
  EXPECT_EQ(letters(list), "bd");
  list->clear(list);
  list->removeHead(list);
  EXPECT_EQ(letters(list), "");
  svcFreeMem(0, kMemoryComponent, 0, list);
  EXPECT_EQ(memoryBlocksOutstanding(), blocks);
}

TEST(ListTest, AnAddingOperationWithoutMemoryLeavesTheListAsItWas) {
  char a = 'a', b = 'b', x = 'x';
  List* list = createList();
  ASSERT_NE(list, nullptr);
  list->append(list, &a);
  list->append(list, &b);
  void (*adds[])(List*, char*) = {
      [](List* l, char* letter) { l->append(l, letter); },
      [](List* l, char* letter) { l->prepend(l, letter); },
      [](List* l, char* letter) { l->insertAfter(l, l->head, letter); },
      [](List* l, char* letter) { l->insertBefore(l, l->tail, letter); },
  };
  for (auto add : adds) {
    clearObservations();
    faultArm(FaultPlan{kFaultAlloc, 1, false, -1, 0});
    add(list, &x);
    faultDisarm();
    EXPECT_EQ(letters(list), "ab");
    EXPECT_EQ(failureRecords().size(), 1u);
  }
  list->clear(list);
  svcFreeMem(0, kMemoryComponent, 0, list);
}

}  // namespace
