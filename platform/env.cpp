#include "platform/env.h"

#include <cstring>

int32_t svcGetEnvironmentString(const char* name, char* buffer, uint16_t* capacity) {
  if (name == nullptr || buffer == nullptr || capacity == nullptr) return kEnvBadArguments;
  const char* value = svcGetEnv(name);
  if (value == nullptr) return kEnvNotSet;
  size_t needed = std::strlen(value) + 1;
  if (needed > *capacity) {
    *capacity = needed > 0xFFFF ? static_cast<uint16_t>(0xFFFF) : static_cast<uint16_t>(needed);
    return kEnvTooLong;
  }
  std::memcpy(buffer, value, needed);
  return 0;
}
