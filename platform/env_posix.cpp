#include "platform/env.h"

#include <cstdlib>
#include <cstring>

#include "platform/paths.h"

// Bytes are names as they are: every value is valid.
bool osEnvironmentValid(const char*) { return true; }

const char* svcGetEnv(const char* name) {
  if (name == nullptr || name[0] == '\0') return nullptr;
  return std::getenv(name);
}

int32_t osHomeDirectory(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return kEnvBadArguments;
  buffer[0] = '\0';
  uint16_t capacity = size > 0xFFFF ? static_cast<uint16_t>(0xFFFF) : static_cast<uint16_t>(size);
  int32_t rc = svcGetEnvironmentString("HOME", buffer, &capacity);
  if (rc == 0 && buffer[0] == '\0') rc = kEnvNotSet;
  if (rc == 0 && osPathLength(buffer) > kPathMaxCharacters) rc = kEnvTooLong;
  if (rc != 0) buffer[0] = '\0';
  return rc;
}
