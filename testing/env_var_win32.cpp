// Environment changes for the tests, Windows: the process's own environment,
// which svcGetEnv reads. Null or an empty value removes the variable.
#include <windows.h>

#include <string>

#include "platform/utf16_win32.h"
#include "testing/env_var.h"

void setEnvironmentVariable(const char* name, const char* value) {
  std::wstring wideName;
  std::wstring wideValue;
  if (!utf8ToWide(name, &wideName)) return;
  bool remove = value == nullptr || value[0] == '\0' || !utf8ToWide(value, &wideValue);
  SetEnvironmentVariableW(wideName.c_str(), remove ? nullptr : wideValue.c_str());
}
