#ifndef ORV_CMD_SHELL_ENTRY_H_
#define ORV_CMD_SHELL_ENTRY_H_

#include "cmd/shell/shell.h"
#include "platform/entry.h"
#include "platform/runtime.h"

// The process entry of a command: ORV_PROGRAM_ENTRY(run, "name") defines
// main, or on Windows wmain, which before anything else makes the process
// fit to hold secrets (osHardenProcess), then hands `run` its arguments in
// UTF-8 (osRunWithUtf8Arguments). An argument that has no UTF-8 form is
// refused with exit code 10 before `run` starts.
#define ORV_PROGRAM_ENTRY(run, name)                                          \
  int ORV_OS_MAIN(int argc, OsArgument* argv) {                               \
    osHardenProcess();                                                        \
    return osRunWithUtf8Arguments(argc, argv, name, run, kRunBadCommandLine); \
  }

#endif  // ORV_CMD_SHELL_ENTRY_H_
