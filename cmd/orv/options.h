#ifndef ORV_CMD_ORV_OPTIONS_H_
#define ORV_CMD_ORV_OPTIONS_H_

#include <cstdint>

// The command line: -f keystore file, -o output file, -sp algorithm,
// -sf initial key file, always as option/value pairs.

constexpr int32_t kDefaultAlgorithm = 2;

// The option fields. The initialisers are the values a field keeps when no
// option names it. Texts point into the argument vector.
struct CommandOptions {
  const char* keystoreFile = nullptr;     // -f
  const char* outputFile = nullptr;       // -o
  int32_t algorithm = kDefaultAlgorithm;  // -sp
  const char* initialKeyFile = nullptr;   // -sf
  int32_t argumentIndex = 0;              // position of the option at fault
};

// Reads argv[1] .. argv[argc - 1] into `options`; argv[0] is never looked at
// and nothing is copied, shown or allocated. Returns 0 (argument index 0) or
// 1. On 1 the argument index is the position of the offending option, or
// stays as it was when the count itself is wrong (even, or below 1). Fields
// set before the fault keep their new values. Algorithm numbers beyond the
// 32-bit range are clamped to INT32_MIN or INT32_MAX.
int32_t parseArguments(int32_t argc, const char* const* argv, CommandOptions* options);

#endif  // ORV_CMD_ORV_OPTIONS_H_
