#include "cmd/shell/entry.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cmd/shell/shell.h"
#include "platform/utf16_win32.h"

int runWithUtf8Arguments(int argc, wchar_t** argv, const char* name, ProgramMain run) {
  std::vector<std::string> arguments(static_cast<size_t>(argc));
  std::vector<char*> pointers;
  for (int index = 0; index < argc; ++index) {
    if (!wideToUtf8(argv[index], &arguments[static_cast<size_t>(index)])) {
      std::fprintf(stderr, "%s: argument %d is not valid Unicode text.\n", name, index);
      return kRunBadCommandLine;
    }
    pointers.push_back(arguments[static_cast<size_t>(index)].data());
  }
  pointers.push_back(nullptr);
  return run(argc, pointers.data());
}
