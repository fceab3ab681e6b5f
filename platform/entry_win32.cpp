#include "platform/entry.h"

#include <cstdio>
#include <string>
#include <vector>

#include "platform/utf16_win32.h"

int32_t osRunWithUtf8Arguments(int argc, OsArgument* argv, const char* name, ProgramMain run,
                               int32_t refused) {
  std::vector<std::string> arguments(static_cast<size_t>(argc));
  std::vector<char*> pointers;
  for (int index = 0; index < argc; ++index) {
    if (!wideToUtf8(argv[index], &arguments[static_cast<size_t>(index)])) {
      std::fprintf(stderr, "%s: argument %d is not valid Unicode text.\n", name, index);
      return refused;
    }
    pointers.push_back(arguments[static_cast<size_t>(index)].data());
  }
  pointers.push_back(nullptr);
  return run(argc, pointers.data());
}
