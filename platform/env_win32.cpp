// The environment as Windows keeps it, in UTF-16, read as UTF-8: the
// runtime's narrow copy would hold the names of files outside the code page
// mapped to other names.
#include <windows.h>

#include <cstring>
#include <string>

#include "platform/env.h"
#include "platform/paths.h"
#include "platform/utf16_win32.h"

namespace {

// The last value read of each variable the program asks for, so that the
// text handed out stays valid; a handful of names are ever asked for.
struct CachedVariable {
  std::string name;
  std::string value;
};
constexpr int kCachedVariables = 16;
CachedVariable cache[kCachedVariables];

}  // namespace

bool osEnvironmentValid(const char* name) {
  std::wstring wideName;
  if (name == nullptr || !utf8ToWide(name, &wideName)) return true;
  DWORD size = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
  if (size == 0) return true;
  std::wstring value(size, L'\0');
  DWORD length = GetEnvironmentVariableW(wideName.c_str(), value.data(), size);
  if (length >= size) return true;  // changed meanwhile: the next read decides
  value.resize(length);
  std::string text;
  return wideToUtf8(value.c_str(), &text);
}

const char* svcGetEnv(const char* name) {
  if (name == nullptr || name[0] == '\0') return nullptr;
  std::wstring wideName;
  if (!utf8ToWide(name, &wideName)) return nullptr;
  std::wstring value(256, L'\0');
  SetLastError(ERROR_SUCCESS);
  DWORD length = GetEnvironmentVariableW(wideName.c_str(), value.data(),
                                         static_cast<DWORD>(value.size()));
  if (length >= value.size()) {
    value.resize(length);
    length = GetEnvironmentVariableW(wideName.c_str(), value.data(),
                                     static_cast<DWORD>(value.size()));
  }
  if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return nullptr;
  if (length >= value.size()) return nullptr;
  value.resize(length);
  CachedVariable* slot = nullptr;
  for (CachedVariable& entry : cache) {
    if (entry.name == name || (slot == nullptr && entry.name.empty())) {
      slot = &entry;
      if (entry.name == name) break;
    }
  }
  // A value that is no valid UTF-16 names no file this program can open.
  if (slot == nullptr) return nullptr;
  std::string text;
  if (!wideToUtf8(value.c_str(), &text)) return nullptr;
  slot->name = name;
  slot->value = text;
  return slot->value.c_str();
}

int32_t osHomeDirectory(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return kEnvBadArguments;
  buffer[0] = '\0';
  if (!osEnvironmentValid("HOMEDRIVE") || !osEnvironmentValid("HOMEPATH")) return kEnvNotText;
  uint16_t capacity = size > 0xFFFF ? static_cast<uint16_t>(0xFFFF) : static_cast<uint16_t>(size);
  int32_t rc = svcGetEnvironmentString("HOMEDRIVE", buffer, &capacity);
  if (rc == 0) {
    // No separator between drive and path: the path begins with one.
    size_t driveLength = std::strlen(buffer);
    size_t rest = size - driveLength;
    capacity = rest > 0xFFFF ? static_cast<uint16_t>(0xFFFF) : static_cast<uint16_t>(rest);
    rc = svcGetEnvironmentString("HOMEPATH", buffer + driveLength, &capacity);
  }
  if (rc == 0 && osPathLength(buffer) > kPathMaxCharacters) rc = kEnvTooLong;
  if (rc != 0) buffer[0] = '\0';
  return rc;
}
