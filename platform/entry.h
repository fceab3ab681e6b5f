#ifndef ORV_PLATFORM_ENTRY_H_
#define ORV_PLATFORM_ENTRY_H_

#include <cstdint>

// The process entry: a program's arguments in UTF-8 whatever the system
// hands over, so that a name outside the code page reaches the files layer
// as it was typed instead of mapped to another name.

// Windows hands a program its arguments as UTF-16 only through wmain.
#ifdef _WIN32
#define ORV_OS_MAIN wmain
using OsArgument = wchar_t*;
#else
#define ORV_OS_MAIN main
using OsArgument = char*;
#endif

using ProgramMain = int32_t (*)(int32_t argc, char** argv);

// Calls `run` with the arguments that ORV_OS_MAIN received, in UTF-8 (on
// POSIX as they are), and returns its result. An argument that is no valid
// UTF-16 (an unpaired surrogate) has no UTF-8 form and any stand-in would
// name another file: it is named on standard error under `name` and
// `refused` is returned before `run` starts.
int32_t osRunWithUtf8Arguments(int argc, OsArgument* argv, const char* name, ProgramMain run,
                               int32_t refused);

#endif  // ORV_PLATFORM_ENTRY_H_
