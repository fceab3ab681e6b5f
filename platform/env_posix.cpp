#include "platform/env.h"

#include <cstdlib>

const char* svcGetEnv(const char* name) {
  if (name == nullptr || name[0] == '\0') return nullptr;
  return std::getenv(name);
}
