#include "lib/orv/list.h"

#include <cstring>

#include "platform/memory.h"

namespace {

constexpr const char* kSourceName = "lib/orv/list";

// Probes of the allocating operations and the locations their failure
// records name.
constexpr int32_t kProbeCreateList = 223;
constexpr int32_t kProbeAppend = 220;
constexpr int32_t kProbePrepend = 224;
constexpr int32_t kProbeInsertAfter = 221;
constexpr int32_t kProbeInsertBefore = 222;
constexpr int32_t kLocationCreateList = 698;
constexpr int32_t kLocationAppend = 66;
constexpr int32_t kLocationPrepend = 106;
constexpr int32_t kLocationInsertAfter = 155;
constexpr int32_t kLocationInsertBefore = 193;
constexpr int32_t kFailureProbe = 250;

// A zero-filled block of `size` bytes, or null after writing the failure
// record of `location`.
void* obtainBlock(int32_t probe, uint64_t size, int32_t location) {
  void* block = obtainOrRecord(probe, size, kSourceName, location, kFailureProbe);
  if (block != nullptr) std::memset(block, 0, static_cast<size_t>(size));
  return block;
}

ListNode* obtainNode(int32_t probe, int32_t location) {
  return static_cast<ListNode*>(obtainBlock(probe, sizeof(ListNode), location));
}

void releaseBlock(void* block) { svcFreeMem(0, kMemoryComponent, 0, block); }

uint64_t getCount(List* list) { return list->count; }

void append(List* list, void* element) {
  ListNode* node = obtainNode(kProbeAppend, kLocationAppend);
  if (node == nullptr) return;
  node->data = element;
  node->next = nullptr;
  if (list->count == 0) {
    node->prev = nullptr;
    list->head = node;
  } else {
    node->prev = list->tail;
    list->tail->next = node;
  }
  ++list->count;
  list->tail = node;
}

void prepend(List* list, void* element) {
  ListNode* node = obtainNode(kProbePrepend, kLocationPrepend);
  if (node == nullptr) return;
  node->data = element;
  node->prev = nullptr;
  if (list->count == 0) {
    node->next = nullptr;
    list->tail = node;
  } else {
    node->next = list->head;
    list->head->prev = node;
  }
  ++list->count;
  list->head = node;
}

void insertAfter(List* list, ListNode* node, void* element) {
  if (node == list->tail) {
    list->append(list, element);
    return;
  }
  ListNode* added = obtainNode(kProbeInsertAfter, kLocationInsertAfter);
  if (added == nullptr) return;
  added->data = element;
  added->next = node->next;
  added->prev = node;
  node->next->prev = added;
  node->next = added;
  ++list->count;
}

void insertBefore(List* list, ListNode* node, void* element) {
  if (node == list->head) {
    list->prepend(list, element);
    return;
  }
  ListNode* added = obtainNode(kProbeInsertBefore, kLocationInsertBefore);
  if (added == nullptr) return;
  added->data = element;
  added->prev = node->prev;
  added->next = node;
  node->prev->next = added;
  node->prev = added;
  ++list->count;
}

void removeHead(List* list) {
  if (list->count == 0) return;
  if (list->count == 1) {
    if (list->head != nullptr) releaseBlock(list->head);
    list->head = nullptr;
    list->tail = nullptr;
    list->count = 0;
    return;
  }
  ListNode* oldHead = list->head;
  list->head = oldHead->next;
  releaseBlock(oldHead);
  list->head->prev = nullptr;
  --list->count;
}

void removeTail(List* list) {
  if (list->count == 0) return;
  if (list->count == 1) {
    if (list->tail != nullptr) releaseBlock(list->tail);
    list->head = nullptr;
    list->tail = nullptr;
    list->count = 0;
    return;
  }
  ListNode* oldTail = list->tail;
  list->tail = oldTail->prev;
  releaseBlock(oldTail);
  list->tail->next = nullptr;
  --list->count;
}

void removeNode(List* list, ListNode* node) {
  // The tail test comes first, so a one-node list empties through removeTail.
  if (node == list->tail) {
    list->removeTail(list);
    return;
  }
  if (node == list->head) {
    list->removeHead(list);
    return;
  }
  node->prev->next = node->next;
  node->next->prev = node->prev;
  releaseBlock(node);
  --list->count;
}

void removeAll(List* list, int32_t freeElements, ListVisitor visitor) {
  ListNode* node = list->head;
  while (node != nullptr) {
    ListNode* next = node->next;
    if (visitor != nullptr) visitor(node->data);
    if (freeElements != 0 && node->data != nullptr) {
      releaseBlock(node->data);
      node->data = nullptr;
    }
    releaseBlock(node);
    node = next;
  }
  list->head = nullptr;
  list->tail = nullptr;
  list->count = 0;
}

void clear(List* list) { list->removeAll(list, 0, nullptr); }

ListNode* findFirst(List* list, ListPredicate predicate) {
  if (predicate == nullptr) return nullptr;
  for (ListNode* node = list->head; node != nullptr; node = node->next) {
    if (predicate(node->data) != 0) return node;
  }
  return nullptr;
}

ListNode* findFirstWithArg(List* list, ListPredicateWithArg predicate, const void* arg) {
  if (predicate == nullptr) return nullptr;
  for (ListNode* node = list->head; node != nullptr; node = node->next) {
    if (predicate(node->data, arg) != 0) return node;
  }
  return nullptr;
}

ListNode* findData(List* list, const void* element) {
  for (ListNode* node = list->head; node != nullptr; node = node->next) {
    if (node->data == element) return node;
  }
  return nullptr;
}

void forEach(List* list, ListVisitor visitor) {
  if (visitor == nullptr) return;
  for (ListNode* node = list->head; node != nullptr; node = node->next) visitor(node->data);
}

void forEachWithArg(List* list, ListVisitorWithArg visitor, void* arg) {
  if (visitor == nullptr) return;
  for (ListNode* node = list->head; node != nullptr; node = node->next) visitor(node->data, arg);
}

uint32_t countMatching(List* list, ListPredicate predicate) {
  if (predicate == nullptr) return 0;
  uint32_t matches = 0;
  for (ListNode* node = list->head; node != nullptr; node = node->next) {
    if (predicate(node->data) != 0) ++matches;
  }
  return matches;
}

uint32_t countMatchingWithArg(List* list, ListPredicateWithArg predicate, const void* arg) {
  if (predicate == nullptr) return 0;
  uint32_t matches = 0;
  for (ListNode* node = list->head; node != nullptr; node = node->next) {
    if (predicate(node->data, arg) != 0) ++matches;
  }
  return matches;
}

}  // namespace

List* createList() {
  List* list = static_cast<List*>(obtainBlock(kProbeCreateList, sizeof(List), kLocationCreateList));
  if (list == nullptr) return nullptr;
  list->count = 0;
  list->head = nullptr;
  list->tail = nullptr;
  list->getCount = getCount;
  list->append = append;
  list->prepend = prepend;
  list->insertAfter = insertAfter;
  list->insertBefore = insertBefore;
  list->removeHead = removeHead;
  list->removeTail = removeTail;
  list->removeNode = removeNode;
  list->removeAll = removeAll;
  list->clear = clear;
  list->findFirst = findFirst;
  list->findFirstWithArg = findFirstWithArg;
  list->findFirstWithKey = findFirstWithArg;
  list->findData = findData;
  list->forEach = forEach;
  list->forEachWithArg = forEachWithArg;
  list->forEachWithKey = forEachWithArg;
  list->countMatching = countMatching;
  list->countMatchingWithArg = countMatchingWithArg;
  list->countMatchingWithKey = countMatchingWithArg;
  return list;
}
