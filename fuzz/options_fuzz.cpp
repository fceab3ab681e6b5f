// Fuzz target of the option parser. The input is the argument vector, its
// arguments separated by NUL bytes. Each argument lives in a block of exactly
// its size and argv[0] is null, so that the sanitizers see any read beyond an
// argument or of the program name. Checked: the result is 0 or 1; success
// leaves the argument index 0, a failure points at the argument at fault or
// leaves the index as it was; every text field is the caller's or an
// argument that follows an option.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "cmd/orv/options.h"
#include "fuzz/fuzz_check.h"

namespace {

const char kPresetText[] = "preset";
constexpr int32_t kPresetIndex = 4321;

// A text field is the preset or an argument right after an option.
bool fieldIsAValue(const char* field, const std::vector<const char*>& argv) {
  if (field == kPresetText) return true;
  for (size_t i = 2; i < argv.size(); ++i) {
    if (field == argv[i] && argv[i - 1][0] == '-') return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::unique_ptr<char[]>> blocks;
  std::vector<const char*> argv(1, nullptr);  // argv[0] is never looked at
  for (size_t i = 0, start = 0; i <= size && argv.size() <= 32; ++i) {
    if (i == size || data[i] == 0) {
      blocks.emplace_back(new char[i - start + 1]);
      std::memcpy(blocks.back().get(), data + start, i - start);
      blocks.back()[i - start] = '\0';
      argv.push_back(blocks.back().get());
      start = i + 1;
    }
  }
  int32_t argc = static_cast<int32_t>(argv.size());
  CommandOptions options;
  options.keystoreFile = options.outputFile = options.initialKeyFile = kPresetText;
  options.argumentIndex = kPresetIndex;
  int32_t rc = parseArguments(argc, argv.data(), &options);
  ORV_FUZZ_CHECK(rc == 0 || rc == 1, "the result is 0 or 1");
  ORV_FUZZ_CHECK(rc != 0 || options.argumentIndex == 0, "success leaves argument index 0");
  ORV_FUZZ_CHECK(rc == 0 || options.argumentIndex == kPresetIndex ||
                     (options.argumentIndex >= 1 && options.argumentIndex < argc),
                 "a failure names the argument at fault, or the count");
  ORV_FUZZ_CHECK(fieldIsAValue(options.keystoreFile, argv), "-f is a value");
  ORV_FUZZ_CHECK(fieldIsAValue(options.outputFile, argv), "-o is a value");
  ORV_FUZZ_CHECK(fieldIsAValue(options.initialKeyFile, argv), "-sf is a value");
  return 0;
}
