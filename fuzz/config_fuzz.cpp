// Fuzz target of the configuration reader and the key file lookup. The
// input is the text of a keystore configuration file. Checked, whatever the
// grammar decides for a line: the parse gives whole, trimmed entries in a
// well-linked list; the key file lookup on the same text finds one
// entry, refuses two and never cuts a value; every block is released.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "lib/orv/config_access.h"
#include "lib/orv/keystore_line.h"
#include "lib/orv/param_lookup.h"
#include "platform/memory.h"
#include "testing/test_hooks.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setConsoleQuiet(true);
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
  size_t keyFiles = 0, count = 0;
  std::string keyFile;
  const ListNode* previous = nullptr;
  for (const ListNode* node = list->head; node != nullptr; previous = node, node = node->next) {
    ORV_FUZZ_CHECK(node->prev == previous, "back links mirror forward links");
    const auto* entry = static_cast<const ConfigEntry*>(node->data);
    std::string key = entry->key, value = entry->value;
    ORV_FUZZ_CHECK(key.size() <= kConfigKeyMaxLength, "keys fit");
    ORV_FUZZ_CHECK(key.empty() || (!isConfigWhitespace(key.front()) &&
                                   !isConfigWhitespace(key.back())), "keys are trimmed");
    ORV_FUZZ_CHECK(!value.empty() && !isConfigWhitespace(value.front()) &&
                       !isConfigWhitespace(value.back()), "values are whole and trimmed");
    ORV_FUZZ_CHECK((key + value).find('\n') == std::string::npos, "one line each");
    if (key == "orvcred.keyfile" && keyFiles++ == 0) keyFile = value;
    ++count;
  }
  ORV_FUZZ_CHECK(list->tail == previous && list->getCount(list) == count, "tail and count");
  ORV_FUZZ_CHECK(parseRc != kConfigOk || count > 0, "success comes with entries");
  destroyConfigList(list);

  char dst[kConfigPathSize] = {};
  int32_t keyRc = getKeyFileParam(dst, text.data(), text.size(), nullptr);
  if (parseRc != kConfigOk) {
    ORV_FUZZ_CHECK(keyRc == parseRc, "an unreadable line fails the lookup");
  } else if (keyFiles > 1) {
    ORV_FUZZ_CHECK(keyRc == kConfigParamNotUnique, "two key files are refused");
  } else if (keyFile.size() > kConfigPathMaxLength) {
    ORV_FUZZ_CHECK(keyRc == kConfigPathTooLong, "a long key file path is refused");
  } else if (keyFiles == 1) {
    ORV_FUZZ_CHECK(keyRc == kConfigOk && std::string(dst) == keyFile, "the key file, whole");
  }
  ORV_FUZZ_CHECK(memoryBlocksOutstanding() == blocksBefore, "every block released");
  return 0;
}
