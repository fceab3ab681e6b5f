// The Windows process entry: the arguments arrive as UTF-16 and go on as
// UTF-8, so that a name outside the code page reaches the files layer as it
// was typed instead of mapped to another name.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cmd/orv/orvseal.h"
#include "platform/utf16_win32.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> arguments(static_cast<size_t>(argc));
  std::vector<char*> pointers;
  for (int index = 0; index < argc; ++index) {
    // An unpaired surrogate has no UTF-8 form; any stand-in would name
    // another file.
    if (!wideToUtf8(argv[index], &arguments[static_cast<size_t>(index)])) {
      std::fprintf(stderr, "orvseal: argument %d is not valid Unicode text.\n", index);
      return kRunBadCommandLine;
    }
    pointers.push_back(arguments[static_cast<size_t>(index)].data());
  }
  pointers.push_back(nullptr);
  return orvsealMain(argc, pointers.data());
}
