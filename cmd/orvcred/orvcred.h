#ifndef ORV_CMD_ORVCRED_ORVCRED_H_
#define ORV_CMD_ORVCRED_ORVCRED_H_

#include <cstdint>

// The orvcred command: check, reveal, rekey and genkey, from the process
// entry to the exit code.

constexpr int32_t kOrvcredFunctionNumber = 380;

// Results before they are mapped to an exit code. The configuration
// routines' codes (12, 15), the key file codes (80-83) and the PBE
// service's (60-68) pass through as they are.
constexpr int32_t kCredOk = 0;
constexpr int32_t kCredCannotCreate = 1;     // an output file cannot be created
constexpr int32_t kCredPlaintext = 2;        // check: a plaintext credential
constexpr int32_t kCredNotReadable = 3;      // a protected value this key cannot read
constexpr int32_t kCredMissingKey = 4;       // reveal: KEY has no line
constexpr int32_t kCredDuplicateKey = 5;     // reveal: KEY has more than one line
constexpr int32_t kCredBadCommandLine = 10;
constexpr int32_t kCredPathTooLong = 16;     // rekey: the side file's name would not fit
constexpr int32_t kCredWriteFailed = 17;
constexpr int32_t kCredNotText = 19;         // the keystore is no text of its form
constexpr int32_t kCredUnclearLine = 21;     // rekey: words between a credential's key and '='

constexpr int32_t kCredInconsistent = 20;
constexpr int32_t kCredReplaceFailed = -1;   // mapped to 255

// Runs the command with the process's arguments and returns the exit code.
int32_t orvcredMain(int32_t argc, char** argv);

#endif  // ORV_CMD_ORVCRED_ORVCRED_H_
