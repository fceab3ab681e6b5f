// Fuzz target of the configuration parser and the stanza lookup. The input
// is the text of a keystore configuration file. Checked, whatever the
// grammar decides for a line: the parse gives whole, trimmed entries in a
// well-linked list; loading the orvcred stanza from a file agrees with the
// parse; the key file lookup finds one entry, refuses two and never cuts a
// value; every block is released.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "lib/orv/config_access.h"
#include "lib/orv/config_syntax.h"
#include "lib/orv/list.h"
#include "lib/orv/param_lookup.h"
#include "platform/memory.h"
#include "testing/test_hooks.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

// The list's entries head to tail, checking the links, the count and, for
// entries as parsed (`parsed`), their shape.
Entries listEntries(List* list, bool parsed) {
  Entries entries;
  uint64_t forward = 0;
  const ListNode* previous = nullptr;
  for (const ListNode* node = list->head; node != nullptr; node = node->next) {
    ORV_FUZZ_CHECK(node->prev == previous, "back links mirror forward links");
    const auto* entry = static_cast<const ConfigEntry*>(node->data);
    ORV_FUZZ_CHECK(entry != nullptr && entry->key != nullptr && entry->value != nullptr,
                   "complete entries");
    std::string key = entry->key;
    std::string value = entry->value;
    ORV_FUZZ_CHECK(key.size() <= kConfigKeyMaxLength, "keys fit");
    ORV_FUZZ_CHECK(!parsed || key.empty() || (!isConfigWhitespace(key.front()) &&
                                              !isConfigWhitespace(key.back())),
                   "keys are trimmed");
    ORV_FUZZ_CHECK(!value.empty(), "values are never empty");
    ORV_FUZZ_CHECK(!isConfigWhitespace(value.front()) && !isConfigWhitespace(value.back()),
                   "values are trimmed");
    ORV_FUZZ_CHECK(key.find('\n') == std::string::npos && value.find('\n') == std::string::npos,
                   "one line each");
    entries.emplace_back(key, value);
    previous = node;
    ++forward;
  }
  ORV_FUZZ_CHECK(list->tail == previous, "the tail is the last node");
  ORV_FUZZ_CHECK(list->getCount(list) == forward, "the count is the number of nodes");
  return entries;
}

// The file that loadStanza reads; one per process, so parallel jobs never
// share it. In memory where the system offers it: written for every input.
const std::string& scratchFile() {
  static const std::string path = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                                  "/orv-config-fuzz-" + std::to_string(getpid()) + ".conf";
  return path;
}

bool writeScratchFile(const std::string& text) {
  FILE* file = std::fopen(scratchFile().c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setConsoleQuiet(true);
  configMessagesEnabled = 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  clearObservations();
  int64_t blocksBefore = memoryBlocksOutstanding();
  std::string text(reinterpret_cast<const char*>(data), size);
  text = text.substr(0, text.find('\0'));  // a reader sees the text up to a NUL

  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  List* list = createList();
  ORV_FUZZ_CHECK(list != nullptr, "a list");
  int32_t parseRc = parseConfigText(buffer.data(), list);
  ORV_FUZZ_CHECK(parseRc == kConfigOk || parseRc == kConfigCannotParse, "a parse result");
  Entries parsed = listEntries(list, true);
  ORV_FUZZ_CHECK(parseRc != kConfigOk || !parsed.empty(), "success comes with entries");
  destroyConfigList(list);

  size_t keyFiles = 0;
  size_t stanzaEntries = 0;
  std::string keyFile;
  for (const auto& [key, value] : parsed) {
    if (key.compare(0, 8, "orvcred.") == 0) ++stanzaEntries;
    if (key == "orvcred.keyfile" && keyFiles++ == 0) keyFile = value;
  }

  if (!text.empty() && writeScratchFile(text)) {
    List* loaded = nullptr;
    int32_t loadRc = loadStanza(scratchFile().c_str(), &loaded, "orvcred", 0);
    int32_t expectedLoad = parseRc != kConfigOk ? parseRc
                           : stanzaEntries == 0 ? kConfigNoStanza
                                                : kConfigOk;
    ORV_FUZZ_CHECK(loadRc == expectedLoad, "loadStanza agrees with the parse");
    ORV_FUZZ_CHECK((loadRc == kConfigOk) == (loaded != nullptr), "a list only on success");
    if (loaded != nullptr) {
      ORV_FUZZ_CHECK(listEntries(loaded, false).size() == stanzaEntries, "the stanza's entries");
    }
    destroyConfigList(loaded);

    char dst[kConfigPathSize] = {};
    int32_t keyRc = getKeyFileParam(dst, scratchFile().c_str(), nullptr);
    if (expectedLoad != kConfigOk) {
      ORV_FUZZ_CHECK(keyRc == expectedLoad, "getKeyFileParam passes loadStanza's code");
    } else if (keyFiles > 1) {
      ORV_FUZZ_CHECK(keyRc == kConfigParamNotUnique, "two key files are refused");
    } else if (keyFile.size() > kConfigPathMaxLength) {
      ORV_FUZZ_CHECK(keyRc == kConfigPathTooLong, "a long key file path is refused");
    } else {
      ORV_FUZZ_CHECK(keyRc == kConfigOk && std::string(dst) == keyFile, "the key file, whole");
    }
    std::remove(scratchFile().c_str());
  }
  ORV_FUZZ_CHECK(memoryBlocksOutstanding() == blocksBefore, "every block released");
  return 0;
}
