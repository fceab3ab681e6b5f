// POSIX file operations.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "platform/files_internal.h"

FILE* osOpenFile(const char* path, const char* mode) {
  if (path == nullptr || mode == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  if (fileFaultInjected(kFaultOpen)) return nullptr;
  // "N" (not inherited by child processes) is glibc's "e": close-on-exec.
  char posixMode[8];
  size_t length = 0;
  for (const char* p = mode; *p != '\0' && length + 2 < sizeof posixMode; ++p) {
    posixMode[length++] = *p == 'N' ? 'e' : *p;
  }
  posixMode[length] = '\0';
  return std::fopen(path, posixMode);
}

int osSeekFile(FILE* stream, int64_t offset, int origin) {
  if (fileFaultInjected(kFaultRead)) return -1;
  return fseeko(stream, static_cast<off_t>(offset), origin) == 0 ? 0 : -1;
}

int64_t osTellFile(FILE* stream) {
  if (fileFaultInjected(kFaultRead)) return -1;
  return static_cast<int64_t>(ftello(stream));
}

int32_t osDeleteFile(const char* path) {
  if (fileFaultInjected(kFaultDelete)) return -1;
  return unlink(path) == 0 ? 0 : -1;
}

int32_t osRenameFile(const char* from, const char* to) {
  if (fileFaultInjected(kFaultRename)) return -1;
  return std::rename(from, to) == 0 ? 0 : -1;
}
