// Fuzz target of the option parser. The input is the argument vector, its
// arguments separated by NUL bytes. Each argument lives in a block of exactly
// its size and argv[0] is null, so that the sanitizers see any read beyond an
// argument or of the program name. The parser's result is compared with a
// model of the command line written from its contract.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cmd/orv/options.h"
#include "fuzz/fuzz_check.h"

namespace {

constexpr size_t kMaxArguments = 32;

// Values that only the parser can have changed.
const char kPresetText[] = "preset";
constexpr int32_t kPresetAlgorithm = 777;
constexpr int32_t kPresetIndex = 4321;

CommandOptions presetOptions() {
  CommandOptions options;
  options.keystoreFile = kPresetText;
  options.outputFile = kPresetText;
  options.algorithm = kPresetAlgorithm;
  options.initialKeyFile = kPresetText;
  options.argumentIndex = kPresetIndex;
  return options;
}

// The -sp value: spaces, an optional sign, digits and nothing else (a lone
// sign is 0); beyond 32 bits clamped.
bool modelAlgorithm(const std::string& text, int32_t* algorithm) {
  size_t at = text.find_first_not_of(' ');
  if (at == std::string::npos) return false;
  bool negative = false;
  if (text[at] == '+' || text[at] == '-') {
    negative = text[at] == '-';
    ++at;
  } else if (text[at] < '0' || text[at] > '9') {
    return false;
  }
  long double magnitude = 0;
  for (; at < text.size(); ++at) {
    if (text[at] < '0' || text[at] > '9') return false;
    magnitude = magnitude * 10 + (text[at] - '0');
  }
  long double value = negative ? -magnitude : magnitude;
  if (value > INT32_MAX) value = INT32_MAX;
  if (value < INT32_MIN) value = INT32_MIN;
  *algorithm = static_cast<int32_t>(value);
  return true;
}

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// What parseArguments must do with these arguments (argv[0] not among them).
int32_t modelParse(const std::vector<std::string>& args, const std::vector<const char*>& argv,
                   CommandOptions* options) {
  int32_t argc = static_cast<int32_t>(args.size()) + 1;
  if (argc % 2 == 0) return 1;
  for (int32_t position = 1; position < argc; position += 2) {
    options->argumentIndex = position;
    const std::string& option = args[position - 1];
    const std::string& value = args[position];
    if (option.empty()) {
      options->argumentIndex = 0;
      return 0;
    }
    std::string name = lower(option);
    if (name.size() < 2 || name[0] != '-') return 1;
    if (name[1] == 'f' || name[1] == 'o' || name.compare(0, 3, "-sf") == 0) {
      if (!value.empty() && value[0] == '-') return 1;
      const char* text = argv[position + 1];
      if (name[1] == 'f') options->keystoreFile = text;
      if (name[1] == 'o') options->outputFile = text;
      if (name[1] == 's') options->initialKeyFile = text;
    } else if (name.compare(0, 3, "-sp") == 0) {
      if (!modelAlgorithm(value, &options->algorithm)) return 1;
    } else {
      return 1;
    }
  }
  options->argumentIndex = 0;
  return 0;
}

// A text field is the preset or one of the argument values.
bool pointsIntoArgv(const char* field, const std::vector<const char*>& argv) {
  if (field == kPresetText) return true;
  for (size_t i = 2; i < argv.size(); i += 2) {
    if (field == argv[i]) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args;
  size_t start = 0;
  for (size_t i = 0; i <= size && args.size() < kMaxArguments; ++i) {
    if (i == size || data[i] == 0) {
      args.emplace_back(reinterpret_cast<const char*>(data) + start, i - start);
      start = i + 1;
    }
  }

  std::vector<std::unique_ptr<char[]>> blocks;
  std::vector<const char*> argv(1, nullptr);  // argv[0] is never looked at
  for (const std::string& arg : args) {
    blocks.emplace_back(new char[arg.size() + 1]);
    std::memcpy(blocks.back().get(), arg.c_str(), arg.size() + 1);
    argv.push_back(blocks.back().get());
  }
  int32_t argc = static_cast<int32_t>(argv.size());

  CommandOptions options = presetOptions();
  int32_t rc = parseArguments(argc, argv.data(), &options);
  CommandOptions expected = presetOptions();
  int32_t expectedRc = modelParse(args, argv, &expected);

  ORV_FUZZ_CHECK(rc == 0 || rc == 1, "the result is 0 or 1");
  ORV_FUZZ_CHECK(rc == expectedRc, "the result follows the contract");
  ORV_FUZZ_CHECK(rc != 0 || options.argumentIndex == 0, "success leaves argument index 0");
  ORV_FUZZ_CHECK(options.argumentIndex == expected.argumentIndex, "argument index");
  ORV_FUZZ_CHECK(rc == 0 || options.argumentIndex == kPresetIndex ||
                     (options.argumentIndex >= 1 && options.argumentIndex < argc &&
                      options.argumentIndex % 2 == 1),
                 "a failure names an option position or keeps the index");
  ORV_FUZZ_CHECK(pointsIntoArgv(options.keystoreFile, argv), "-f points into argv");
  ORV_FUZZ_CHECK(pointsIntoArgv(options.outputFile, argv), "-o points into argv");
  ORV_FUZZ_CHECK(pointsIntoArgv(options.initialKeyFile, argv), "-sf points into argv");
  ORV_FUZZ_CHECK(options.keystoreFile == expected.keystoreFile, "-f field");
  ORV_FUZZ_CHECK(options.outputFile == expected.outputFile, "-o field");
  ORV_FUZZ_CHECK(options.initialKeyFile == expected.initialKeyFile, "-sf field");
  ORV_FUZZ_CHECK(options.algorithm == expected.algorithm, "-sp value");
  return 0;
}
