#include "cmd/shell/options.h"

#include <cstring>

namespace {

char foldCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool namesRule(const char* option, const OptionRule& rule) {
  if (rule.exact) return std::strcmp(option, rule.name) == 0;
  for (size_t i = 0; rule.name[i] != '\0'; ++i) {
    if (foldCase(option[i]) != rule.name[i]) return false;
  }
  return true;
}

// An optionally signed decimal number after leading spaces, nothing after
// it; a lone sign reads as 0.
bool parseNumber(const char* text, int32_t* number) {
  while (*text == ' ') ++text;
  if (*text != '+' && *text != '-' && !isDigit(*text)) return false;
  bool negative = *text == '-';
  if (!isDigit(*text)) ++text;
  int64_t magnitude = 0;
  constexpr int64_t kMagnitudeLimit = static_cast<int64_t>(INT32_MAX) + 1;
  for (; *text != '\0'; ++text) {
    if (!isDigit(*text)) return false;
    if (magnitude < kMagnitudeLimit) magnitude = magnitude * 10 + (*text - '0');
  }
  if (negative) {
    *number = magnitude >= kMagnitudeLimit ? INT32_MIN : static_cast<int32_t>(-magnitude);
  } else {
    *number = magnitude > INT32_MAX ? INT32_MAX : static_cast<int32_t>(magnitude);
  }
  return true;
}

}  // namespace

int32_t readOptions(int32_t argc, const char* const* argv, int32_t first, const OptionRule* rules,
                    size_t ruleCount, std::vector<const char*>* operands) {
  for (int32_t position = first; position < argc; ++position) {
    const char* argument = argv[position];
    if (argument == nullptr || argument[0] == '\0') return 0;
    // A lone "-" is an operand: standard input or output, as by custom.
    if (argument[0] != '-' || argument[1] == '\0') {
      if (operands == nullptr) return position;
      operands->push_back(argument);
      continue;
    }
    const OptionRule* rule = nullptr;
    for (size_t i = 0; i < ruleCount && rule == nullptr; ++i) {
      if (argument[1] != '\0' && namesRule(argument + 1, rules[i])) rule = &rules[i];
    }
    if (rule != nullptr && rule->flag != nullptr) {
      *rule->flag = true;
      continue;
    }
    const char* value = position + 1 < argc ? argv[position + 1] : nullptr;
    if (rule == nullptr || value == nullptr) return position;
    if (rule->text != nullptr) {
      if (value[0] == '-') return position;
      *rule->text = value;
      if (rule->all != nullptr) rule->all->push_back(value);
    } else if (!parseNumber(value, rule->number) || *rule->number < rule->lowest ||
               *rule->number > rule->highest) {
      return position;
    }
    ++position;
  }
  return 0;
}
