// Windows file operations.
#include <windows.h>

#include <cerrno>
#include <cstdio>

#include "platform/files.h"
#include "platform/files_internal.h"

FILE* osOpenFile(const char* path, const char* mode) {
  if (path == nullptr || mode == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  if (fileFaultInjected(kFaultOpen)) return nullptr;
  // The runtime understands "N" (handle not inherited) itself.
  return std::fopen(path, mode);
}

int osSeekFile(FILE* stream, int64_t offset, int origin) {
  if (fileFaultInjected(kFaultRead)) return -1;
  return _fseeki64(stream, offset, origin) == 0 ? 0 : -1;
}

int64_t osTellFile(FILE* stream) {
  if (fileFaultInjected(kFaultRead)) return -1;
  return _ftelli64(stream);
}

int32_t osDeleteFile(const char* path) {
  if (fileFaultInjected(kFaultDelete)) return -1;
  return DeleteFileA(path) ? 0 : -1;
}

int32_t osRenameFile(const char* from, const char* to) {
  if (fileFaultInjected(kFaultRename)) return -1;
  return std::rename(from, to) == 0 ? 0 : -1;
}
