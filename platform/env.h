#ifndef ORV_PLATFORM_ENV_H_
#define ORV_PLATFORM_ENV_H_

#include <cstddef>
#include <cstdint>

// Environment of the common services.

constexpr int32_t kEnvNotSet = 1;
constexpr int32_t kEnvTooLong = 2;
constexpr int32_t kEnvBadArguments = 3;
constexpr int32_t kEnvNotText = 4;  // set to text that is no valid Unicode (osEnvironmentValid)

// The variable's value in UTF-8, or null when it is not set. The text stays
// valid until the environment changes or the variable is asked for again.
const char* svcGetEnv(const char* name);

// False when the variable is set to text that is no valid Unicode (on
// Windows, UTF-16 with an unpaired surrogate, which environment blocks
// allow): it names no file, and must not be taken for unset either.
bool osEnvironmentValid(const char* name);

// Copies the value of `name` with its NUL into `buffer`, whose size is
// *capacity. 0 on success; kEnvNotSet, or kEnvTooLong (the value and its NUL
// do not fit: *capacity is set to the size needed, nothing is copied).
int32_t svcGetEnvironmentString(const char* name, char* buffer, uint16_t* capacity);

// The user's home directory as the environment names it, with no separator
// added: HOME on POSIX, HOMEDRIVE and HOMEPATH joined on Windows (the path
// begins with its own separator). Into `buffer` (size bytes) with its NUL.
// 0; kEnvNotSet when a variable is not set (or HOME is empty, which would
// name the root directory); kEnvNotText when one holds no valid text;
// kEnvTooLong when the directory does not fit `size` bytes or is longer
// than kPathMaxCharacters (osPathLength), never cut; kEnvBadArguments.
// On failure `buffer` holds an empty text when size > 0.
int32_t osHomeDirectory(char* buffer, size_t size);

#endif  // ORV_PLATFORM_ENV_H_
