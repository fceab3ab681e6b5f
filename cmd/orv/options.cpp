#include "cmd/orv/options.h"

#include <cstdint>

namespace {

constexpr int32_t kParseFailed = 1;

char foldCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// An optionally signed decimal number after leading spaces, nothing after
// it; a lone sign reads as 0. Beyond the 32-bit range the value is clamped,
// so a huge number can never come out as a valid algorithm.
bool parseAlgorithm(const char* text, int32_t* algorithm) {
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
    *algorithm = magnitude >= kMagnitudeLimit ? INT32_MIN : static_cast<int32_t>(-magnitude);
  } else {
    *algorithm = magnitude > INT32_MAX ? INT32_MAX : static_cast<int32_t>(magnitude);
  }
  return true;
}

}  // namespace

int32_t parseArguments(int32_t argc, const char* const* argv, CommandOptions* options) {
  if (argv == nullptr || options == nullptr || argc < 1 || argc % 2 == 0) return kParseFailed;

  for (int32_t position = 1; position < argc; position += 2) {
    options->argumentIndex = position;
    const char* option = argv[position];
    if (option == nullptr) return kParseFailed;
    if (option[0] != '-') {
      if (option[0] != '\0') return kParseFailed;
      // An empty argument ends the options; whatever follows is ignored.
      options->argumentIndex = 0;
      return 0;
    }
    if (option[1] == '\0') return kParseFailed;

    const char** textField = nullptr;
    switch (foldCase(option[1])) {
      case 'f':
        textField = &options->keystoreFile;
        break;
      case 'o':
        textField = &options->outputFile;
        break;
      case 's':
        if (option[2] == '\0') return kParseFailed;
        if (foldCase(option[2]) == 'f') {
          textField = &options->initialKeyFile;
        } else if (foldCase(option[2]) != 'p') {
          return kParseFailed;
        }
        break;
      default:
        return kParseFailed;
    }

    const char* value = argv[position + 1];
    if (value == nullptr) return kParseFailed;
    if (textField != nullptr) {
      if (value[0] == '-') return kParseFailed;
      *textField = value;
    } else if (!parseAlgorithm(value, &options->algorithm)) {
      return kParseFailed;
    }
  }
  options->argumentIndex = 0;
  return 0;
}
