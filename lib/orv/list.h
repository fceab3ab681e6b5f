#ifndef ORV_LIB_ORV_LIST_H_
#define ORV_LIB_ORV_LIST_H_

#include <cstdint>

// A doubly linked list of untyped element pointers whose operations travel
// inside the list: every operation is called through the list it acts on,
// with that list as its first argument (list->append(list, element)).
//
// The list owns its nodes, never its elements, except that removeAll frees
// the elements when told to. Every block comes from svcGetMem under component
// 16; an adding operation that gets no memory writes a failure record and
// leaves the list unchanged (its count does not grow). Nothing checks that a
// node handed in belongs to the list: pass only nodes of that list.

struct ListNode {
  void* data;  // the element; the caller's
  ListNode* next;  // null at the tail
  ListNode* prev;  // null at the head
};

struct List;

// Predicates return non-zero for a match; visitors may change the element but
// must not remove or free the node they are given.
using ListPredicate = int32_t (*)(const void* element);
using ListPredicateWithArg = int32_t (*)(const void* element, const void* arg);
using ListVisitor = void (*)(void* element);
using ListVisitorWithArg = void (*)(void* element, void* arg);

struct List {
  uint64_t count;
  ListNode* head;  // null when empty
  ListNode* tail;  // null when empty

  uint64_t (*getCount)(List* list);
  void (*append)(List* list, void* element);
  void (*prepend)(List* list, void* element);
  // A node equal to the tail (a null node on an empty list included) appends.
  void (*insertAfter)(List* list, ListNode* node, void* element);
  // A node equal to the head (a null node on an empty list included) prepends.
  void (*insertBefore)(List* list, ListNode* node, void* element);
  // The removals free the node alone; an empty list is left as it is.
  void (*removeHead)(List* list);
  void (*removeTail)(List* list);
  void (*removeNode)(List* list, ListNode* node);
  // Frees every node, head to tail: calls the visitor (if any) on the
  // element, then frees a non-null element when freeElements is non-zero.
  // The list is empty afterwards and may be filled again.
  void (*removeAll)(List* list, int32_t freeElements, ListVisitor visitor);
  // removeAll without visitor and without freeing elements.
  void (*clear)(List* list);
  // The first node, head to tail, whose element matches; null when none
  // does or the predicate is null.
  ListNode* (*findFirst)(List* list, ListPredicate predicate);
  ListNode* (*findFirstWithArg)(List* list, ListPredicateWithArg predicate, const void* arg);
  ListNode* (*findFirstWithKey)(List* list, ListPredicateWithArg predicate, const void* arg);
  // The first node whose element is `element` (pointer identity), or null.
  ListNode* (*findData)(List* list, const void* element);
  // Calls the visitor on every element, head to tail; a null visitor does
  // nothing.
  void (*forEach)(List* list, ListVisitor visitor);
  void (*forEachWithArg)(List* list, ListVisitorWithArg visitor, void* arg);
  void (*forEachWithKey)(List* list, ListVisitorWithArg visitor, void* arg);
  // How many elements match; the predicate sees every element. A null
  // predicate counts 0.
  uint32_t (*countMatching)(List* list, ListPredicate predicate);
  uint32_t (*countMatchingWithArg)(List* list, ListPredicateWithArg predicate, const void* arg);
  uint32_t (*countMatchingWithKey)(List* list, ListPredicateWithArg predicate, const void* arg);
};

// A new empty list with all its operations filled in, or null when no memory
// was delivered (a failure record is written). The owner ends a list with
// its removeAll and then svcFreeMem on the List block.
List* createList();

#endif  // ORV_LIB_ORV_LIST_H_
