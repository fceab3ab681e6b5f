// Environment changes for the tests, Windows: the runtime's copy, which
// getenv reads. An empty value removes the variable there.
#include <stdlib.h>

#include "testing/env_var.h"

void setEnvironmentVariable(const char* name, const char* value) {
  _putenv_s(name, value != nullptr ? value : "");
}
