#include "platform/env.h"

#include <cstdlib>

// Bytes are names as they are: every value is valid.
bool osEnvironmentValid(const char*) { return true; }

const char* svcGetEnv(const char* name) {
  if (name == nullptr || name[0] == '\0') return nullptr;
  return std::getenv(name);
}
