// Fuzz target of the configuration parser and the stanza lookup. The input
// is the text of a keystore configuration file. It is parsed in memory and
// compared with a model of the grammar written from its contract, filtered
// for two stanzas (orvcred, and the stanza of the first key so that matches
// are common), looked up, and loaded again from a file through loadStanza
// and getKeyFileParam, which must agree. Every block must be released.
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
#include "lib/orv/list.h"
#include "lib/orv/param_lookup.h"
#include "platform/memory.h"
#include "testing/test_hooks.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

const char kWhitespace[] = " \t\n\v\f\r";

bool isWhitespace(char c) { return c != '\0' && std::strchr(kWhitespace, c) != nullptr; }

std::string trim(const std::string& text) {
  size_t first = 0;
  while (first < text.size() && isWhitespace(text[first])) ++first;
  size_t last = text.size();
  while (last > first && isWhitespace(text[last - 1])) --last;
  return text.substr(first, last - first);
}

// The grammar: lines split at line feeds (empty ones skipped), trimmed;
// blank and '#' lines skipped; key = value, the key trimmed and at most 255
// characters, the value cut at '#', trimmed and non-empty.
int32_t modelParse(const std::string& text, Entries* entries) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = trim(text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == '#') continue;
    size_t equals = line.find('=');
    if (equals == std::string::npos) return kConfigCannotParse;
    std::string key = trim(line.substr(0, equals));
    if (key.size() > kConfigKeyMaxLength) return kConfigCannotParse;
    std::string value = line.substr(equals + 1);
    value = trim(value.substr(0, value.find('#')));
    if (value.empty()) return kConfigCannotParse;
    entries->emplace_back(key, value);
  }
  return entries->empty() ? kConfigCannotParse : kConfigOk;
}

// The entries of one stanza, "stanza." taken off their keys.
Entries modelFilter(const Entries& entries, const std::string& stanza) {
  Entries kept;
  for (const auto& [key, value] : entries) {
    size_t dot = key.find('.');
    if (dot == std::string::npos || key.compare(0, dot, stanza) != 0 || dot != stanza.size()) {
      continue;
    }
    kept.emplace_back(key.substr(dot + 1), value);
  }
  return kept;
}

// The list's entries head to tail, checking the links and the count.
Entries listEntries(List* list) {
  Entries entries;
  uint64_t forward = 0;
  const ListNode* previous = nullptr;
  for (const ListNode* node = list->head; node != nullptr; node = node->next) {
    ORV_FUZZ_CHECK(node->prev == previous, "back links mirror forward links");
    const auto* entry = static_cast<const ConfigEntry*>(node->data);
    ORV_FUZZ_CHECK(entry != nullptr && entry->key != nullptr && entry->value != nullptr,
                   "complete entries");
    entries.emplace_back(entry->key, entry->value);
    previous = node;
    ++forward;
  }
  ORV_FUZZ_CHECK(list->tail == previous, "the tail is the last node");
  ORV_FUZZ_CHECK(list->getCount(list) == forward, "the count is the number of nodes");
  return entries;
}

void checkEntryShape(const Entries& entries) {
  for (const auto& [key, value] : entries) {
    ORV_FUZZ_CHECK(key.size() <= kConfigKeyMaxLength, "keys fit");
    ORV_FUZZ_CHECK(key.empty() || (!isWhitespace(key.front()) && !isWhitespace(key.back())),
                   "keys are trimmed");
    ORV_FUZZ_CHECK(!value.empty(), "values are never empty");
    ORV_FUZZ_CHECK(!isWhitespace(value.front()) && !isWhitespace(value.back()),
                   "values are trimmed");
    ORV_FUZZ_CHECK(value.find('#') == std::string::npos, "values hold no comment");
    ORV_FUZZ_CHECK(key.find('\n') == std::string::npos && value.find('\n') == std::string::npos,
                   "one line each");
  }
}

// getStanzaParam with allowMissing: absent, one, or more than one.
void checkLookup(List* list, const Entries& entries, const std::string& name) {
  if (name.empty()) return;
  size_t matches = 0;
  std::string value;
  for (const auto& entry : entries) {
    if (entry.first == name) {
      if (matches++ == 0) value = entry.second;
    }
  }
  char dst[kConfigPathSize];
  std::memset(dst, 'x', sizeof dst);
  dst[kConfigPathMaxLength] = '\0';
  int32_t rc = getStanzaParam(list, "fuzz.conf", name.c_str(), dst,
                              static_cast<int32_t>(kConfigPathMaxLength), 1);
  if (matches == 0) {
    ORV_FUZZ_CHECK(rc == kConfigParamAbsent, "an absent parameter is absent");
  } else if (matches > 1) {
    ORV_FUZZ_CHECK(rc == kConfigParamNotUnique, "a repeated parameter is refused");
  } else {
    ORV_FUZZ_CHECK(rc == kConfigOk, "a single parameter is found");
    ORV_FUZZ_CHECK(std::string(dst) == value.substr(0, kConfigPathMaxLength),
                   "the value is copied up to the limit");
  }
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
  // The parser reads a NUL-terminated text: a NUL byte ends it, as it ends
  // the text that readConfigFile hands over.
  std::string input(reinterpret_cast<const char*>(data), size);
  std::string text = input.substr(0, input.find('\0'));

  Entries expected;
  int32_t expectedRc = modelParse(text, &expected);

  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  List* list = createList();
  ORV_FUZZ_CHECK(list != nullptr, "a list");
  int32_t rc = parseConfigText(buffer.data(), list);
  Entries parsed = listEntries(list);
  ORV_FUZZ_CHECK(rc == expectedRc, "the parse result follows the grammar");
  checkEntryShape(parsed);
  // On a rejected line, the entries before it stay in the list.
  ORV_FUZZ_CHECK(parsed == expected, "the entries follow the grammar");

  std::string firstStanza;
  if (!parsed.empty()) firstStanza = parsed.front().first.substr(0, parsed.front().first.find('.'));
  const std::string stanzas[] = {kKeyFileStanza, firstStanza};
  for (const std::string& stanza : stanzas) {
    if (stanza.empty() || stanza.size() > kStanzaNameMaxLength) continue;
    List* copy = createList();
    ORV_FUZZ_CHECK(copy != nullptr, "a list");
    std::vector<char> again(text.begin(), text.end());
    again.push_back('\0');
    if (parseConfigText(again.data(), copy) == kConfigOk) {
      filterStanza(copy, stanza.c_str());
      Entries filtered = listEntries(copy);
      ORV_FUZZ_CHECK(filtered == modelFilter(parsed, stanza), "the stanza's entries");
      checkLookup(copy, filtered, kKeyFileParam);
      if (!filtered.empty()) checkLookup(copy, filtered, filtered.front().first);
    }
    destroyConfigList(copy);
  }
  destroyConfigList(list);

  // The same text from a file, as the run reads it.
  if (writeScratchFile(input)) {
    List* loaded = nullptr;
    int32_t loadRc = loadStanza(scratchFile().c_str(), &loaded, kKeyFileStanza, 1);
    Entries stanza = expectedRc == kConfigOk ? modelFilter(expected, kKeyFileStanza) : Entries{};
    int32_t expectedLoad = input.empty()              ? kConfigCannotRead
                           : expectedRc != kConfigOk ? expectedRc
                           : stanza.empty()          ? kConfigNoStanza
                                                     : kConfigOk;
    ORV_FUZZ_CHECK(loadRc == expectedLoad, "loadStanza agrees with the parse");
    ORV_FUZZ_CHECK((loadRc == kConfigOk) == (loaded != nullptr), "a list only on success");
    if (loaded != nullptr) ORV_FUZZ_CHECK(listEntries(loaded) == stanza, "the loaded stanza");
    destroyConfigList(loaded);

    char keyFile[kConfigPathSize] = {};
    char name[kKeyFileNameSize] = {};
    int32_t keyRc = getKeyFileParam(keyFile, scratchFile().c_str(), name);
    size_t keyFileEntries = 0;
    std::string keyFileValue;
    for (const auto& entry : stanza) {
      if (entry.first == kKeyFileParam && keyFileEntries++ == 0) keyFileValue = entry.second;
    }
    if (expectedLoad != kConfigOk) {
      ORV_FUZZ_CHECK(keyRc == expectedLoad, "getKeyFileParam passes loadStanza's code");
      ORV_FUZZ_CHECK(std::string(name) == kKeyFileStanza, "the stanza is named");
    } else if (keyFileEntries > 1) {
      ORV_FUZZ_CHECK(keyRc == kConfigParamNotUnique, "two key files are refused");
      ORV_FUZZ_CHECK(std::string(name) == "orvcred.keyfile", "the parameter is named");
    } else {
      ORV_FUZZ_CHECK(keyRc == kConfigOk, "no key file, or one");
      ORV_FUZZ_CHECK(std::string(keyFile) == keyFileValue.substr(0, kConfigPathMaxLength),
                     "the key file's path");
    }
    // libFuzzer ends without running exit handlers: nothing may stay behind.
    unlink(scratchFile().c_str());
  }

  ORV_FUZZ_CHECK(memoryBlocksOutstanding() == blocksBefore, "every block released");
  return 0;
}
