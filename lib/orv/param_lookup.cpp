#include "lib/orv/param_lookup.h"

#include <cstdio>
#include <cstring>

#include "platform/memory.h"
#include "platform/trace.h"

namespace {

constexpr const char* kSourceName = "lib/orv/param_lookup";

constexpr int32_t kTraceDetail = 2;

// True when the key's text before its first '.' is the stanza name. A key
// without '.' has an empty prefix; a prefix longer than any stanza name
// never matches. *rest receives what follows the '.', or the key itself.
bool keyInStanza(const char* key, size_t length, const char* stanza, size_t* rest) {
  const void* dot = std::memchr(key, '.', length);
  size_t prefixLength = dot != nullptr ? static_cast<size_t>(static_cast<const char*>(dot) - key) : 0;
  *rest = dot != nullptr ? prefixLength + 1 : 0;
  return prefixLength <= kStanzaNameMaxLength && std::strlen(stanza) == prefixLength &&
         std::memcmp(key, stanza, prefixLength) == 0;
}

bool keyInStanzaFilter(const char* key, size_t length, const void* stanza) {
  size_t rest = 0;
  return keyInStanza(key, length, static_cast<const char*>(stanza), &rest);
}

// strncpy with the limit len, which some compilers refuse to name.
void copyPadded(char* dst, const char* value, int32_t len) {
  int32_t i = 0;
  for (; i < len && value[i] != '\0'; ++i) dst[i] = value[i];
  for (; i < len; ++i) dst[i] = '\0';
}

}  // namespace

void filterStanza(List* list, const char* stanza) {
  if (list == nullptr || list->head == nullptr || stanza == nullptr) return;
  ListNode* node = list->head;
  while (node != nullptr) {
    ListNode* next = node->next;
    ConfigEntry* entry = static_cast<ConfigEntry*>(node->data);
    if (entry != nullptr) {
      size_t rest = 0;
      if (entry->key != nullptr &&
          keyInStanza(entry->key, std::strlen(entry->key), stanza, &rest)) {
        std::memmove(entry->key, entry->key + rest, std::strlen(entry->key + rest) + 1);
      } else {
        releaseConfigEntry(entry);
        node->data = nullptr;
        list->removeNode(list, node);
      }
    }
    node = next;
  }
}

int32_t loadStanza(const char* text, size_t length, List** listOut, const char* stanza,
                   const char* watchedKey, StanzaReport* report, bool keepReadable) {
  TraceScope scope(kFnLoadStanza);
  if (listOut == nullptr || stanza == nullptr || stanza[0] == '\0' ||
      std::strlen(stanza) > kStanzaNameMaxLength) {
    return scope.result(kConfigBadArguments);
  }
  ORV_TRACE_TEXT(kFnLoadStanza, kTraceDetail, "%s", stanza);
  // No list: createList has written the failure record.
  *listOut = createList();
  if (*listOut == nullptr) return scope.result(kConfigNoMemory);
  // Only the stanza's entries are kept: a lookup needs no list of the file.
  ConfigParseReport parse;
  int32_t rc =
      parseConfigLines(text, length, *listOut, keyInStanzaFilter, stanza, watchedKey, &parse);
  if (report != nullptr) *report = StanzaReport{parse.failedLine, parse.watchedLines};
  if (rc == kConfigCannotParse && keepReadable && parse.failedLine != 0) rc = kConfigOk;
  if (rc != kConfigOk) {
    ORV_TRACE_TEXT(kFnLoadStanza, kTraceDetail, "%s : %d  Cannot parse config file", kSourceName,
                   __LINE__);
  } else {
    filterStanza(*listOut, stanza);
    if ((*listOut)->getCount(*listOut) == 0) rc = kConfigNoStanza;
  }
  if (rc != kConfigOk) {
    destroyConfigList(*listOut);
    *listOut = nullptr;
  }
  return scope.result(rc);
}

int32_t getStanzaParam(List* list, const char* name, char* dst, int32_t len, int32_t allowMissing) {
  TraceScope scope(kFnGetStanzaParam);
  if (list == nullptr || name == nullptr || name[0] == '\0' || dst == nullptr || len <= 0) {
    ORV_TRACE_TEXT(kFnGetStanzaParam, kTraceDetail,
                   "%s : %d  Incorrect arguments", kSourceName, __LINE__);
    return scope.result(kConfigBadArguments);
  }
  ORV_TRACE_TEXT(kFnGetStanzaParam, kTraceDetail, "%s", name);

  uint32_t matches = list->countMatchingWithKey(list, configKeyEquals, name);
  if (matches > 1) {
    ORV_TRACE_TEXT(kFnGetStanzaParam, kTraceDetail,
                   "%s : %d  Config file contains more than one '%s' entry", kSourceName, __LINE__,
                   name);
    return scope.result(kConfigParamNotUnique);
  }
  if (matches == 0) {
    if (allowMissing != 0) {
      ORV_TRACE_TEXT(kFnGetStanzaParam, kTraceDetail,
                     "%s : %d  Config file does not contain '%s' entry", kSourceName, __LINE__,
                     name);
      return scope.result(kConfigParamAbsent);
    }
    ORV_TRACE_TEXT(kFnGetStanzaParam, kTraceDetail,
                   "%s : %d  Config file does not contain '%s' entry", kSourceName, __LINE__, name);
    return scope.result(kConfigParamNotUnique);
  }

  ListNode* node = list->findFirstWithKey(list, configKeyEquals, name);
  const ConfigEntry* entry = static_cast<const ConfigEntry*>(node->data);
  copyPadded(dst, entry->value, len);
  return scope.result(kConfigOk);
}

void destroyConfigList(List* list) {
  if (list == nullptr) return;
  list->removeAll(list, 1, freeConfigEntry);
  svcFreeMem(0, kMemoryComponent, 0, list);
}

int32_t getKeyFileParam(char* dst, const char* text, size_t length, char* nameOut,
                        KeyFileLookup* lookup) {
  TraceScope scope(kFnGetKeyFileParam);
  size_t stanzaLength = std::strlen(kKeyFileStanza);
  if (nameOut != nullptr) std::snprintf(nameOut, stanzaLength + 1, "%s", kKeyFileStanza);
  if (lookup != nullptr) *lookup = KeyFileLookup{};

  char watchedKey[kKeyFileNameSize];
  std::snprintf(watchedKey, sizeof watchedKey, "%s.%s", kKeyFileStanza, kKeyFileParam);
  StanzaReport report;
  List* list = nullptr;
  // A line that cannot be read holds no entry; it stops the lookup only
  // when it may be the key file's own line.
  int32_t rc = loadStanza(text, length, &list, kKeyFileStanza, watchedKey, &report, true);
  bool skipped = false;
  if (rc == kConfigNoStanza && report.failedLine != 0) rc = kConfigCannotParse;
  if (rc == kConfigOk) {
    // One byte more than the text of a path may have, so that a longer
    // value is seen and refused rather than cut.
    char value[kConfigPathSize + 1] = {};
    rc = getStanzaParam(list, kKeyFileParam, value, static_cast<int32_t>(kConfigPathSize), 1);
    if (rc == kConfigOk && osPathLength(value) > kConfigPathMaxLength) rc = kConfigPathTooLong;
    // The key file named once, readably, and every other line naming it
    // readable too: an unreadable line elsewhere is skipped.
    if (report.failedLine != 0 && (rc != kConfigOk || report.watchedLines > 1)) {
      rc = rc == kConfigParamAbsent || rc == kConfigOk ? kConfigCannotParse : rc;
    }
    skipped = rc == kConfigOk && report.failedLine != 0;
    if (rc == kConfigOk) {
      std::memcpy(dst, value, kConfigPathSize);
    } else if (rc == kConfigParamAbsent) {
      rc = kConfigOk;
    } else if (nameOut != nullptr) {
      std::snprintf(nameOut + stanzaLength, kKeyFileNameSize - stanzaLength, ".%s", kKeyFileParam);
    }
  }
  destroyConfigList(list);
  if (lookup != nullptr) {
    lookup->keyFileNamed = report.watchedLines > 0;
    lookup->failedLine = report.failedLine;
    lookup->failedLineSkipped = skipped;
  }
  return scope.result(rc);
}
