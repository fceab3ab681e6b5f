#ifndef ORV_CMD_ORVCRED_ORVCRED_H_
#define ORV_CMD_ORVCRED_ORVCRED_H_

#include <cstdint>

// The orvcred command: check, reveal, rekey and genkey, from the process
// entry to the exit code.

constexpr int32_t kOrvcredFunctionNumber = 380;

// Results of its own, before they are mapped to an exit code; every other
// result means what it means for orvseal (cmd/shell/shell.h).
constexpr int32_t kCredPlaintext = 2;       // check: orvseal would protect or drop a line
constexpr int32_t kCredNotReadable = 3;     // a protected value this key cannot read
constexpr int32_t kCredMissingKey = 4;      // reveal: KEY has no line
constexpr int32_t kCredDuplicateKey = 5;    // reveal: KEY has more than one line
constexpr int32_t kCredHeldBack = 6;        // check: plaintext behind a flag that says YES
constexpr int32_t kCredDefaultKey = 7;      // check: values under the built-in key
constexpr int32_t kCredRepeated = 8;        // check: a credential key given more than once
constexpr int32_t kCredBadValue = 9;        // set: a value read is refused

// check --ci's exit codes, those of the secret scanners that pipelines run.
constexpr int32_t kCheckClean = 0;
constexpr int32_t kCheckFindings = 1;
constexpr int32_t kCheckFailed = 2;  // a file could not be checked

// Runs the command with the process's arguments and returns the exit code.
int32_t orvcredMain(int32_t argc, char** argv);

#endif  // ORV_CMD_ORVCRED_ORVCRED_H_
