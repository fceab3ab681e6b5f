#ifndef ORV_PLATFORM_RETURN_CODE_H_
#define ORV_PLATFORM_RETURN_CODE_H_

#include <cstdint>

// The return code library: turns a result into an 8-bit process exit code.

// Exit code of every result outside 0..255.
constexpr int32_t kExitCodeOutOfRange = 255;

// Replaces *result in place: 0..255 stay as they are; every other value
// becomes kExitCodeOutOfRange, so a failure never maps to 0.
void rcMapTo8Bit(int32_t* result);

#endif  // ORV_PLATFORM_RETURN_CODE_H_
