// Windows versions of the runtime and operating-system calls.
#include "platform/runtime.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/files_win32.h"
#include "platform/paths.h"
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

int64_t osProcessId() { return static_cast<int64_t>(GetCurrentProcessId()); }

void osTimestamp(char* buffer, size_t size) {
  SYSTEMTIME utc;
  GetSystemTime(&utc);
  std::snprintf(buffer, size, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", utc.wYear, utc.wMonth,
                utc.wDay, utc.wHour, utc.wMinute, utc.wSecond, utc.wMilliseconds);
}

FILE* osOpenAppend(const char* path) {
  WalkedPath at;
  int32_t error = osWalkPath(path, nullptr, &at, nullptr, 0);
  std::wstring wide;
  if (error == 0) error = pathInFolder(at, at.name, &wide);
  // An existing file of another user's: that user could read the trace.
  if (error == 0) error = osCheckOwnedByCaller(at);
  if (error != 0) {
    // A link that is not followed is no trace file.
    errno = error == ELOOP || error == EISDIR ? ENODEV : error;
    return nullptr;
  }
  // A new file grants its owner alone; an existing one keeps its access list.
  PSECURITY_DESCRIPTOR ownerOnly = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;OW)", SDDL_REVISION_1,
                                                       &ownerOnly, nullptr);
  if (ownerOnly == nullptr) {
    errno = EACCES;
    return nullptr;
  }
  SECURITY_ATTRIBUTES security = {sizeof security, ownerOnly, FALSE};
  HANDLE handle = CreateFileW(wide.c_str(), FILE_APPEND_DATA | READ_CONTROL | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, &security, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  error = handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  LocalFree(ownerOnly);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = error == ERROR_ACCESS_DENIED ? EACCES : error == ERROR_SHARING_VIOLATION ? EBUSY : EIO;
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION information = {};
  // A pipe, device or link is no trace file; and the file opened must be
  // one the caller may take, even when it appeared since the check.
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &information) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    error = ENODEV;
  } else if (handleOwnerTrusted(handle) != 0) {
    error = EPERM;
  }
  if (error != 0) {
    CloseHandle(handle);
    errno = static_cast<int>(error);
    return nullptr;
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_APPEND | _O_BINARY);
  FILE* stream = fd >= 0 ? _fdopen(fd, "ab") : nullptr;
  if (stream == nullptr) {
    if (fd >= 0) {
      _close(fd);
    } else {
      CloseHandle(handle);
    }
    errno = EIO;
  }
  return stream;
}

void osHardenProcess() {
  // Looked up at run time: SDK headers declare it only for newer targets.
  using SetDirectories = BOOL(WINAPI*)(DWORD);
  auto setDirectories = reinterpret_cast<SetDirectories>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  // Neither the program's folder nor the current one, where others may have
  // put a DLL under a system DLL's name.
  if (setDirectories != nullptr) setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
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

bool osInputIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

namespace {

// One line typed into the console, echo off, as UTF-8.
int32_t readConsoleLine(HANDLE input, DWORD mode, const char* prompt, char* buffer, size_t size,
                        size_t* count) {
  // Echo goes off before the prompt shows, so nothing typed after it is echoed.
  SetConsoleMode(input, (mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT |
                            ENABLE_PROCESSED_INPUT);
  std::fputs(prompt, stderr);
  std::fflush(stderr);
  wchar_t typed[4096];
  size_t units = 0;
  int32_t error = 0;
  bool any = false;
  for (;;) {
    wchar_t unit = 0;
    DWORD got = 0;
    if (!ReadConsoleW(input, &unit, 1, &got, nullptr)) {
      error = EIO;
      break;
    }
    if (got == 0) break;
    any = true;
    if (unit == L'\n') break;
    if (units + 1 < sizeof typed / sizeof typed[0]) {
      typed[units++] = unit;
    } else {
      error = E2BIG;
    }
  }
  SetConsoleMode(input, mode);
  std::fputs("\n", stderr);
  if (units > 0 && typed[units - 1] == L'\r') --units;
  if (error == 0 && !any) error = ENODATA;
  if (error == 0 && units > 0) {
    int written = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, typed, static_cast<int>(units),
                                      buffer, static_cast<int>(size - 1), nullptr, nullptr);
    if (written <= 0) {
      error = GetLastError() == ERROR_INSUFFICIENT_BUFFER ? E2BIG : EILSEQ;
    } else {
      *count = static_cast<size_t>(written);
    }
  }
  SecureZeroMemory(typed, sizeof typed);
  return error;
}

// One line of a pipe or file, a byte at a time.
int32_t readStreamLine(HANDLE input, char* buffer, size_t size, size_t* count) {
  int32_t error = 0;
  bool any = false;
  for (;;) {
    char c = 0;
    DWORD got = 0;
    if (!ReadFile(input, &c, 1, &got, nullptr)) {
      if (GetLastError() != ERROR_BROKEN_PIPE) error = EIO;
      break;
    }
    if (got == 0) break;
    any = true;
    if (c == '\n') break;
    if (*count + 1 < size) {
      buffer[(*count)++] = c;
    } else {
      error = E2BIG;
    }
  }
  if (*count > 0 && buffer[*count - 1] == '\r') --*count;
  return error == 0 && !any ? ENODATA : error;
}

}  // namespace

int32_t osReadSecretLine(const char* prompt, char* buffer, size_t size, size_t* length) {
  *length = 0;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  size_t count = 0;
  int32_t error = 0;
  if (GetConsoleMode(input, &mode)) {
    error = readConsoleLine(input, mode, prompt, buffer, size, &count);
  } else {
    error = readStreamLine(input, buffer, size, &count);
  }
  if (error != 0) {
    SecureZeroMemory(buffer, size);
    return error;
  }
  buffer[count] = '\0';
  *length = count;
  return 0;
}
