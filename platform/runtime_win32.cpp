// Windows versions of the runtime and operating-system calls.
#include "platform/runtime.h"

#include <windows.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/utf16_win32.h"

int32_t osStrerror(char* buffer, size_t size, int32_t errnum) {
  if (buffer == nullptr || size == 0) return EINVAL;
  buffer[0] = '\0';
  int32_t rc = strerror_s(buffer, size, errnum);
  buffer[size - 1] = '\0';
  return rc;
}

void osSecureWipe(void* data, size_t size) {
  if (data != nullptr && size != 0) SecureZeroMemory(data, size);
}

int32_t osTlsAlloc(uint32_t* indexOut) {
  DWORD index = TlsAlloc();
  if (index == TLS_OUT_OF_INDEXES) return static_cast<int32_t>(GetLastError());
  *indexOut = index;
  return 0;
}

void* osTlsGetValue(uint32_t index) { return TlsGetValue(index); }

int32_t osTlsSetValue(uint32_t index, void* value) {
  return TlsSetValue(index, value) ? 0 : static_cast<int32_t>(GetLastError());
}

int64_t osProcessId() { return static_cast<int64_t>(GetCurrentProcessId()); }

void osTimestamp(char* buffer, size_t size) {
  SYSTEMTIME utc;
  GetSystemTime(&utc);
  std::snprintf(buffer, size, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", utc.wYear, utc.wMonth,
                utc.wDay, utc.wHour, utc.wMinute, utc.wSecond, utc.wMilliseconds);
}

FILE* osOpenAppend(const char* path) {
  std::wstring wide;
  if (!utf8ToWide(path, &wide) || wide.empty()) {
    errno = EINVAL;
    return nullptr;
  }
  return _wfopen(wide.c_str(), L"ab");
}

void osWriteLine(FILE* stream, const char* text) {
  std::fflush(stream);
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  std::wstring wide;
  if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) &&
      utf8ToWide(text, &wide)) {
    wide += L"\r\n";
    DWORD written = 0;
    WriteConsoleW(handle, wide.c_str(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  std::fprintf(stream, "%s\n", text);
  std::fflush(stream);
}
