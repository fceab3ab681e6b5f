#include "testing/config_helpers.h"

#include "lib/orv/config_access.h"

KeyValues entriesOf(const List* list) {
  KeyValues entries;
  for (const ListNode* node = list->head; node != nullptr; node = node->next) {
    const ConfigEntry* entry = static_cast<const ConfigEntry*>(node->data);
    entries.emplace_back(entry->key, entry->value);
  }
  return entries;
}
