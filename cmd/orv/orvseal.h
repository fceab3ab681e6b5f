#ifndef ORV_CMD_ORV_ORVSEAL_H_
#define ORV_CMD_ORV_ORVSEAL_H_

#include <cstdint>

// The protection run: the whole orvseal command, from the process entry to
// the exit code.

constexpr int32_t kRunFunctionNumber = 370;

// Results of the run before they are mapped to an exit code. The codes of the
// configuration routines (12, 15) and of the PBE service (platform/pbe.h)
// pass through as they are.
constexpr int32_t kRunOk = 0;
constexpr int32_t kRunCannotOpen = 1;         // keystore or output cannot be opened
constexpr int32_t kRunBadCommandLine = 10;    // parse failure or bad algorithm
constexpr int32_t kRunPathTooLong = 16;       // a path or the side-file name would not fit
constexpr int32_t kRunWriteFailed = 17;       // writing, flushing or closing the output failed
constexpr int32_t kRunReadFailed = 18;        // reading the keystore failed part way
constexpr int32_t kRunNotText = 19;           // a NUL byte, a lone carriage return, UTF-16
constexpr int32_t kRunInconsistent = 20;      // the services do not fit; returned unmapped
constexpr int32_t kRunWordsBeforeEquals = 21;  // a credential line with words before its '='
constexpr int32_t kRunFileInUse = 22;         // another process holds the keystore: not replaced
constexpr int32_t kRunInitNoMemory = 2071;
constexpr int32_t kRunInitFailed = 2195;
constexpr int32_t kRunReplaceFailed = -1;     // the side file cannot replace the keystore

// Runs the command with the process's arguments and returns the exit code.
int32_t orvsealMain(int32_t argc, char** argv);

#endif  // ORV_CMD_ORV_ORVSEAL_H_
