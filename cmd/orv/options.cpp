#include "cmd/orv/options.h"

#include <iterator>

#include "cmd/shell/options.h"

namespace {

constexpr int32_t kParseFailed = 1;

}  // namespace

int32_t parseArguments(int32_t argc, const char* const* argv, CommandOptions* options) {
  if (argv == nullptr || options == nullptr || argc < 1 || argc % 2 == 0) return kParseFailed;
  const OptionRule rules[] = {
      {"f", &options->keystoreFile},
      {"o", &options->outputFile},
      {"sf", &options->initialKeyFile},
      {"sp", nullptr, &options->algorithm},
  };
  options->argumentIndex = readOptions(argc, argv, 1, rules, std::size(rules), nullptr);
  return options->argumentIndex == 0 ? 0 : kParseFailed;
}
