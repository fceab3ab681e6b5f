// Environment changes for the tests, POSIX.
#include <stdlib.h>

#include "testing/env_var.h"

void setEnvironmentVariable(const char* name, const char* value) {
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}
