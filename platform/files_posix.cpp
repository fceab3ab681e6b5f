// POSIX file operations.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

int32_t osSameFile(const char* first, const char* second, bool* same) {
  if (first == nullptr || second == nullptr || same == nullptr) return EINVAL;
  *same = false;
  struct stat a;
  struct stat b;
  if (stat(first, &a) != 0) return errno == ENOENT ? 0 : errno;
  if (stat(second, &b) != 0) return errno == ENOENT ? 0 : errno;
  *same = a.st_dev == b.st_dev && a.st_ino == b.st_ino;
  return 0;
}

int32_t osResolveLinks(const char* path, char* out, size_t size) {
  if (path == nullptr || out == nullptr || size == 0) return EINVAL;
  const char* result = path;
  char* resolved = realpath(path, nullptr);
  struct stat link;
  // Only a path that is a link is rewritten; other paths keep their text.
  if (resolved != nullptr && lstat(path, &link) == 0 && S_ISLNK(link.st_mode)) result = resolved;
  size_t length = std::strlen(result);
  int32_t rc = 0;
  if (length >= size) {
    rc = ENAMETOOLONG;
  } else {
    std::memcpy(out, result, length + 1);
  }
  std::free(resolved);
  return rc;
}

FILE* osCreatePrivateFile(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  if (fileFaultInjected(kFaultOpen)) return nullptr;
  // unlink removes a link itself, never what it points to.
  if (unlink(path) != 0 && errno != ENOENT) return nullptr;
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (fd < 0) return nullptr;
  FILE* stream = fdopen(fd, "w");
  if (stream == nullptr) {
    int saved = errno;
    close(fd);
    unlink(path);
    errno = saved;
  }
  return stream;
}

FILE* osCreateNewPrivateFile(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  if (fileFaultInjected(kFaultOpen)) return nullptr;
  // O_EXCL fails on any existing name, a dangling link included.
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (fd < 0) return nullptr;
  FILE* stream = fdopen(fd, "wb");
  if (stream == nullptr) {
    int saved = errno;
    close(fd);
    unlink(path);
    errno = saved;
  }
  return stream;
}

int32_t osSyncFile(FILE* stream) {
  if (stream == nullptr) return EINVAL;
  if (fileFaultInjected(kFaultFlush)) return errno;
  if (std::fflush(stream) != 0) return errno != 0 ? errno : EIO;
  if (fsync(fileno(stream)) != 0) return errno != 0 ? errno : EIO;
  return 0;
}

namespace {

// A rename is durable only once the directory that holds the name is synced.
int32_t syncDirectoryOf(const char* path) {
  if (fileFaultInjected(kFaultFlush)) return errno;
  std::string directory = path;
  size_t slash = directory.find_last_of('/');
  directory = slash == std::string::npos ? "." : slash == 0 ? "/" : directory.substr(0, slash);
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int rc = fsync(fd) == 0 ? 0 : errno;
  close(fd);
  // Some file systems cannot sync a directory; the rename itself has happened.
  return rc == EINVAL ? 0 : rc;
}

}  // namespace

int32_t osReplaceFile(const char* replacement, const char* target) {
  if (replacement == nullptr || target == nullptr) return EINVAL;
  if (fileFaultInjected(kFaultRename)) return errno;
  struct stat original;
  if (stat(target, &original) == 0) {
    if (chmod(replacement, original.st_mode & 07777) != 0) return errno;
    struct stat current;
    if (stat(replacement, &current) != 0) return errno;
    if ((current.st_uid != original.st_uid || current.st_gid != original.st_gid) &&
        chown(replacement, original.st_uid, original.st_gid) != 0 && errno != EPERM) {
      return errno;
    }
  } else if (errno != ENOENT) {
    return errno;
  }
  if (std::rename(replacement, target) != 0) return errno;
  // The target is replaced now, so this can no longer fail: both files were
  // synced whole, and a folder that cannot be synced can at worst bring the
  // old one back after a crash.
  syncDirectoryOf(target);
  return 0;
}
