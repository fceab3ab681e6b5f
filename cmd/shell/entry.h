#ifndef ORV_CMD_SHELL_ENTRY_H_
#define ORV_CMD_SHELL_ENTRY_H_

#include <cstdint>

#include "platform/runtime.h"

// The process entry of a command: ORV_PROGRAM_ENTRY(run, "name") defines
// main, or on Windows wmain, whose arguments arrive as UTF-16 and go on to
// `run` as UTF-8, so that a name outside the code page reaches the files
// layer as it was typed instead of mapped to another name. Before anything
// else the process is made fit to hold secrets (osHardenProcess).

using ProgramMain = int32_t (*)(int32_t argc, char** argv);

#ifdef _WIN32
// Converts the arguments and calls `run`. An argument that is no valid
// UTF-16 (an unpaired surrogate) has no UTF-8 form and any stand-in would
// name another file: it is refused with exit code 10 before `run` starts.
int runWithUtf8Arguments(int argc, wchar_t** argv, const char* name, ProgramMain run);
#define ORV_PROGRAM_ENTRY(run, name) \
  int wmain(int argc, wchar_t** argv) {                              \
    osHardenProcess();                                               \
    return runWithUtf8Arguments(argc, argv, name, run);              \
  }
#else
#define ORV_PROGRAM_ENTRY(run, name) \
  int main(int argc, char** argv) {    \
    osHardenProcess();                 \
    return run(argc, argv);            \
  }
#endif

#endif  // ORV_CMD_SHELL_ENTRY_H_
