#include "platform/key_file.h"

#include <cerrno>
#include <cstdio>

#include "platform/files.h"
#include "platform/pbe.h"
#include "platform/runtime.h"

namespace {

int32_t readOpenKeyFile(FILE* file, const WalkedPath& at, unsigned char* content,
                        size_t capacity, size_t* length, KeyFileRead* read) {
  // A key that others can read protects nothing, and one that another user
  // owns or may change could be theirs: neither is even read.
  int32_t access = osCheckPrivateIn(file, at);
  if (access == EACCES) return kPbeKeyFileExposed;
  if (access == EPERM) return kPbeKeyFileForeign;
  if (access != 0) {
    read->error = access;
    return kPbeKeyFileUnreadable;
  }
  errno = 0;
  *length = osReadFile(content, 1, capacity, file);
  // fread stops short only at the end of the file or on an error.
  if (*length < capacity && std::feof(file) == 0) {
    read->error = errno != 0 ? errno : EIO;
    return kPbeKeyFileUnreadable;
  }
  if (*length > static_cast<size_t>(kPbeMaxInitialKeyFileBytes)) return kPbeKeyFileTooLarge;
  if (*length > 0 && content[*length - 1] == '\n') {
    --*length;
    if (*length > 0 && content[*length - 1] == '\r') --*length;
  }
  return *length == 0 ? kPbeKeyFileEmpty : 0;
}

}  // namespace

int32_t readKeyFile(const char* path, const WalkedPath* base, unsigned char* content,
                    size_t capacity, size_t* length, KeyFileRead* read) {
  *length = 0;
  *read = KeyFileRead{};
  WalkedPath at;
  read->error = osWalkPath(path, base, &at, read->refusedLink, sizeof read->refusedLink);
  if (read->error == 0 && !at.exists) read->error = ENOENT;
  if (read->error != 0) return kPbeKeyFileUnreadable;
  // Only a regular file is opened, a pipe is never waited on, and the
  // content goes straight into `content`, never through a stream buffer.
  FILE* file = osOpenForReading(at);
  if (file == nullptr) {
    read->error = errno;
    return kPbeKeyFileUnreadable;
  }
  int32_t rc = readOpenKeyFile(file, at, content, capacity, length, read);
  // Opened for reading only: a failed close loses nothing.
  osCloseFile(file);
  if (rc != 0) {
    osSecureWipe(content, capacity);
    *length = 0;
  }
  return rc;
}
