#include "lib/orv/param_lookup.h"

#include <cstdio>
#include <cstring>

#include "platform/memory.h"
#include "platform/messages.h"
#include "platform/program.h"
#include "platform/runtime.h"
#include "platform/trace.h"

std::atomic<int32_t> configMessagesEnabled{1};

namespace {

constexpr const char* kSourceName = "lib/orv/param_lookup";

constexpr int32_t kTraceDetail = 2;

constexpr const char* kConfigEnvName = "VKT_KEYSTORE_CONF";
constexpr const char* kConfigFileName = "keystore.conf";

// Shows a catalogue message of this file with up to two text inserts.
void showConfigMessage(uint32_t number, const char* textInsert1, const char* textInsert2,
                       int32_t sourceLine) {
  MessageRecord record = textMessage(textInsert1, textInsert2);
  svcDisplayMessage(svcMiniSubpool, 0, 0, 0, number, &record, kMessageOptionConfig, kSourceName,
                    sourceLine, 1);
}

// True when the key's text before its first '.' is the stanza name. A key
// without '.' has an empty prefix; a prefix longer than any stanza name
// never matches. *rest receives what follows the '.', or the key itself.
bool keyInStanza(const char* key, const char* stanza, const char** rest) {
  const char* dot = std::strchr(key, '.');
  size_t prefixLength = dot != nullptr ? static_cast<size_t>(dot - key) : 0;
  *rest = dot != nullptr ? dot + 1 : key;
  return prefixLength <= kStanzaNameMaxLength && std::strlen(stanza) == prefixLength &&
         std::memcmp(key, stanza, prefixLength) == 0;
}

bool keyInStanzaFilter(const char* key, const void* stanza) {
  const char* rest = nullptr;
  return keyInStanza(key, static_cast<const char*>(stanza), &rest);
}

// The steps of loadStanza after its argument check; the caller cleans up.
int32_t loadStanzaUnchecked(const char* path, List** listOut, const char* stanza,
                        bool displayMessages, char** text, const char* watchedKey,
                        ConfigParseReport* report) {
  char locatedPath[kConfigPathSize];
  std::memset(locatedPath, 0, sizeof locatedPath);
  if (path == nullptr) {
    int32_t rc = findConfigFilePath(locatedPath, kConfigEnvName, kConfigFileName);
    if (rc != kConfigOk) {
      if (displayMessages) {
        showConfigMessage(kMsgCannotLocateConfig, kConfigFileName, nullptr, __LINE__);
      }
      ORV_TRACE_TEXT(kFnLoadStanza, kTraceDetail,
                     "%s : %d  Cannot get config file path", kSourceName, __LINE__);
      return rc;
    }
    path = locatedPath;
  }

  int32_t error = 0;
  int32_t rc = readConfigFile(path, text, &error);
  if (rc != kConfigOk) {
    if (displayMessages) showConfigMessage(kMsgCannotReadConfig, path, nullptr, __LINE__);
    ORV_TRACE_TEXT(kFnLoadStanza, kTraceDetail,
                   "%s : %d  Cannot read config file '%s'", kSourceName, __LINE__, path);
    if (error != 0) {
      char where[64];
      std::snprintf(where, sizeof where, "%s : %d  ", kSourceName, __LINE__);
      traceErrorNumber(kFnLoadStanza, kTraceDetail, where, error);
    }
    return rc;
  }

  // No list: createList has written the failure record.
  *listOut = createList();
  if (*listOut == nullptr) return kConfigNoMemory;
  // Only the stanza's entries are kept: a lookup needs no list of the file.
  rc = parseConfigLines(*text, *listOut, keyInStanzaFilter, stanza, watchedKey, report);
  if (rc != kConfigOk) {
    if (displayMessages) showConfigMessage(kMsgCannotReadConfig, path, nullptr, __LINE__);
    ORV_TRACE_TEXT(kFnLoadStanza, kTraceDetail,
                   "%s : %d  Cannot parse config file", kSourceName, __LINE__);
    return rc;
  }

  filterStanza(*listOut, stanza);
  return (*listOut)->getCount(*listOut) != 0 ? kConfigOk : kConfigNoStanza;
}

int32_t loadStanzaReporting(const char* path, List** listOut, const char* stanza,
                            int32_t displayMessages, const char* watchedKey,
                            ConfigParseReport* report) {
  TraceScope scope(kFnLoadStanza);
  if (listOut == nullptr || stanza == nullptr || stanza[0] == '\0' ||
      std::strlen(stanza) > kStanzaNameMaxLength) {
    return scope.result(kConfigBadArguments);
  }
  ORV_TRACE_TEXT(kFnLoadStanza, kTraceDetail, "%s", stanza);

  char* text = nullptr;
  bool showMessages = displayMessages != 0 && configMessagesEnabled != 0;
  int32_t rc = loadStanzaUnchecked(path, listOut, stanza, showMessages, &text, watchedKey, report);
  if (rc != kConfigOk && *listOut != nullptr) {
    destroyConfigList(*listOut);
    *listOut = nullptr;
  }
  // The text held the whole file, credentials included; svcFreeMem wipes it.
  svcFreeMem(0, kMemoryComponent, 0, text);
  return scope.result(rc);
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
      const char* rest = nullptr;
      if (entry->key != nullptr && keyInStanza(entry->key, stanza, &rest)) {
        std::memmove(entry->key, rest, std::strlen(rest) + 1);
      } else {
        releaseConfigEntry(entry);
        node->data = nullptr;
        list->removeNode(list, node);
      }
    }
    node = next;
  }
}

int32_t loadStanza(const char* path, List** listOut, const char* stanza, int32_t displayMessages) {
  return loadStanzaReporting(path, listOut, stanza, displayMessages, nullptr, nullptr);
}

int32_t getStanzaParam(List* list, const char* path, const char* name, char* dst, int32_t len,
                       int32_t allowMissing) {
  TraceScope scope(kFnGetStanzaParam);
  if (list == nullptr || name == nullptr || name[0] == '\0' || dst == nullptr || len <= 0) {
    ORV_TRACE_TEXT(kFnGetStanzaParam, kTraceDetail,
                   "%s : %d  Incorrect arguments", kSourceName, __LINE__);
    return scope.result(kConfigBadArguments);
  }
  ORV_TRACE_TEXT(kFnGetStanzaParam, kTraceDetail, "%s", name);

  uint32_t matches = list->countMatchingWithKey(list, configKeyEquals, name);
  if (matches > 1) {
    if (configMessagesEnabled != 0) showConfigMessage(kMsgDuplicateParam, path, name, __LINE__);
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
    if (configMessagesEnabled != 0) showConfigMessage(kMsgMissingParam, path, name, __LINE__);
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

int32_t getKeyFileParam(char* dst, const char* path, char* nameOut, KeyFileLookup* lookup) {
  TraceScope scope(kFnGetKeyFileParam);
  size_t stanzaLength = std::strlen(kKeyFileStanza);
  if (nameOut != nullptr) std::snprintf(nameOut, stanzaLength + 1, "%s", kKeyFileStanza);
  if (lookup != nullptr) *lookup = KeyFileLookup{};

  char watchedKey[kKeyFileNameSize];
  std::snprintf(watchedKey, sizeof watchedKey, "%s.%s", kKeyFileStanza, kKeyFileParam);
  ConfigParseReport report;
  List* list = nullptr;
  int32_t rc = loadStanzaReporting(path, &list, kKeyFileStanza, 0, watchedKey, &report);
  if (rc == kConfigOk) {
    // One byte more than a path may have, so that a longer value is seen
    // and refused rather than cut.
    char value[kConfigPathSize + 1] = {};
    rc = getStanzaParam(list, path, kKeyFileParam, value,
                        static_cast<int32_t>(kConfigPathMaxLength + 1), 1);
    if (rc == kConfigOk && std::strlen(value) > kConfigPathMaxLength) rc = kConfigPathTooLong;
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
  }
  return scope.result(rc);
}
