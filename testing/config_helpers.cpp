#include "testing/config_helpers.h"

#include <regex>
#include <sstream>

#include "lib/orv/config_access.h"
#include "testing/test_hooks.h"
#include "testing/scratch_dir.h"

std::vector<std::string> traceTexts(const std::string& tracePath) {
  std::vector<std::string> texts;
  std::istringstream lines(readFile(tracePath));
  std::string line;
  // A record: time, "pid", the process id, function(number), kind, detail.
  static const std::regex kTextRecord(R"(^\S+ pid \d+ (\S+) TEXT (detail=\d+) (.*)$)");
  std::smatch match;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (std::regex_match(line, match, kTextRecord)) {
      texts.push_back(match[1].str() + " " + match[2].str() + " " + match[3].str());
    }
  }
  return texts;
}

KeyValues entriesOf(const List* list) {
  KeyValues entries;
  for (const ListNode* node = list->head; node != nullptr; node = node->next) {
    const ConfigEntry* entry = static_cast<const ConfigEntry*>(node->data);
    entries.emplace_back(entry->key, entry->value);
  }
  return entries;
}
