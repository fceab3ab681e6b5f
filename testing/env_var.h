#ifndef ORV_TESTING_ENV_VAR_H_
#define ORV_TESTING_ENV_VAR_H_

#include <string>

// Sets (value non-null) or removes an environment variable of the process,
// as svcGetEnv sees it.
void setEnvironmentVariable(const char* name, const char* value);

// Gives a variable a value, or removes it (null), for the life of the
// object; its former state comes back afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool hadValue_;
  std::string oldValue_;
};

#endif  // ORV_TESTING_ENV_VAR_H_
