#include "testing/env_var.h"

#include "platform/env.h"

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  const char* old = svcGetEnv(name);
  hadValue_ = old != nullptr;
  if (hadValue_) oldValue_ = old;
  setEnvironmentVariable(name, value);
}

ScopedEnv::~ScopedEnv() {
  setEnvironmentVariable(name_.c_str(), hadValue_ ? oldValue_.c_str() : nullptr);
}
