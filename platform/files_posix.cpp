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

namespace {
FILE* openForReading(const char* path, int flags);
}  // namespace

bool osIsAbsolutePath(const char* path) { return path != nullptr && path[0] == '/'; }

FILE* osOpenFile(const char* path, const char* mode) {
  if (path == nullptr || mode == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  if (fileFaultInjected(kFaultOpen)) return nullptr;
  // "N" (not inherited by child processes) is close-on-exec; "b" means
  // nothing here.
  char posixMode[8];
  size_t length = 0;
  for (const char* p = mode; *p != '\0' && length + 1 < sizeof posixMode; ++p) {
    if (*p != 'N' && *p != 'b') posixMode[length++] = *p;
  }
  posixMode[length] = '\0';
  if (mode[0] != 'r') {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    FILE* stream = fdopen(fd, posixMode);
    if (stream == nullptr) close(fd);
    return stream;
  }
  return openForReading(path, 0);
}

FILE* osOpenResolved(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  if (fileFaultInjected(kFaultOpen)) return nullptr;
  FILE* stream = openForReading(path, O_NOFOLLOW);
  if (stream != nullptr) seamStep("opened");
  return stream;
}

namespace {

FILE* openForReading(const char* path, int flags) {
  // Opened without blocking, so that a FIFO named by mistake is refused at
  // once rather than waited on; only a regular file is read.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags);
  if (fd < 0) return nullptr;
  struct stat status;
  int error = 0;
  if (fstat(fd, &status) != 0) {
    error = errno;
  } else if (!S_ISREG(status.st_mode)) {
    error = S_ISDIR(status.st_mode) ? EISDIR : ENODEV;
  } else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    error = errno;
  }
  FILE* stream = error == 0 ? fdopen(fd, "r") : nullptr;
  if (stream == nullptr) {
    if (error == 0) error = errno;
    close(fd);
    errno = error;
  }
  return stream;
}

FileId idOf(const struct stat& status) {
  FileId id;
  id.words[0] = static_cast<uint64_t>(status.st_dev);
  id.words[1] = static_cast<uint64_t>(status.st_ino);
  return id;
}

}  // namespace

int32_t osIdentifyFile(FILE* stream, FileId* id) {
  if (stream == nullptr || id == nullptr) return EINVAL;
  struct stat status;
  if (fstat(fileno(stream), &status) != 0) return errno;
  *id = idOf(status);
  return 0;
}

int32_t osIdentifyPath(const char* path, FileId* id, bool* exists) {
  if (path == nullptr || id == nullptr || exists == nullptr) return EINVAL;
  *exists = false;
  struct stat status;
  if (lstat(path, &status) != 0) return errno == ENOENT ? 0 : errno;
  *exists = true;
  *id = idOf(status);
  return 0;
}

int osSeekFile(FILE* stream, int64_t offset, int origin) {
  if (fileFaultInjected(kFaultRead)) return -1;
  return fseeko(stream, static_cast<off_t>(offset), origin) == 0 ? 0 : -1;
}

int64_t osTellFile(FILE* stream) {
  if (fileFaultInjected(kFaultRead)) return -1;
  return static_cast<int64_t>(ftello(stream));
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

int32_t osCheckNotSteered(const char* path, bool mustBeOwned, char* where, size_t size) {
  if (path == nullptr || where == nullptr || size == 0) return EINVAL;
  std::snprintf(where, size, "%s", path);
  std::string walked = path[0] == '/' ? "" : ".";
  // Each link on the way is judged in the folder that holds it.
  for (size_t start = 0; path[start] != '\0';) {
    size_t end = start;
    while (path[end] != '\0' && path[end] != '/') ++end;
    if (end > start) {
      std::string folder = walked.empty() ? "/" : walked;
      walked += "/" + std::string(path + start, end - start);
      struct stat link;
      if (lstat(walked.c_str(), &link) != 0) break;  // the rest is not there yet
      struct stat parent;
      if (S_ISLNK(link.st_mode) && stat(folder.c_str(), &parent) == 0 &&
          (parent.st_mode & S_ISVTX) != 0 && (parent.st_mode & S_IWOTH) != 0 &&
          link.st_uid != geteuid()) {
        std::snprintf(where, size, "%s", walked.c_str());
        return ELOOP;
      }
    }
    start = path[end] == '/' ? end + 1 : end;
  }
  struct stat status;
  if (!mustBeOwned || stat(path, &status) != 0) return 0;
  return status.st_uid == geteuid() || status.st_uid == 0 ? 0 : EPERM;
}

int32_t osFileKind(const char* path, FileKind* kind) {
  if (path == nullptr || kind == nullptr) return EINVAL;
  struct stat status;
  if (stat(path, &status) != 0) {
    *kind = FileKind::kMissing;
    return errno == ENOENT ? 0 : errno;
  }
  *kind = S_ISREG(status.st_mode) ? FileKind::kRegular : FileKind::kOther;
  return 0;
}

FILE* osCreatePrivateFile(const char* path, FILE* /*model*/) {
  if (path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  if (fileFaultInjected(kFaultOpen)) return nullptr;
  // O_EXCL with O_NOFOLLOW: never a file or link that is already there.
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

int32_t osAdoptPermissions(FILE* stream, FILE* modelStream, bool, bool* ownerKept) {
  if (stream == nullptr || modelStream == nullptr || ownerKept == nullptr) return EINVAL;
  *ownerKept = true;
  if (fileFaultInjected(kFaultRename)) return errno;
  struct stat model;
  if (fstat(fileno(modelStream), &model) != 0) return errno;
  // Through the open descriptor: the path could name another file by now.
  int fd = fileno(stream);
  if (fchmod(fd, model.st_mode & 07777) != 0) return errno;
  struct stat current;
  if (fstat(fd, &current) != 0) return errno;
  // Only the superuser may give a file away; others keep it as their own,
  // and are told.
  if ((current.st_uid != model.st_uid || current.st_gid != model.st_gid) &&
      fchown(fd, model.st_uid, model.st_gid) != 0) {
    if (errno != EPERM) return errno;
    *ownerKept = current.st_uid == model.st_uid;
  }
  return 0;
}

int32_t osSyncFile(FILE* stream) {
  if (stream == nullptr) return EINVAL;
  if (fileFaultInjected(kFaultFlush)) return errno;
  if (std::fflush(stream) != 0) return errno != 0 ? errno : EIO;
  // A pipe, terminal or device has nothing to make durable.
  struct stat status;
  if (fstat(fileno(stream), &status) != 0) return errno;
  if (S_ISREG(status.st_mode) && fsync(fileno(stream)) != 0) return errno != 0 ? errno : EIO;
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

int32_t osCommitFile(FILE* stream, const char* path, const char* target, const FileId* expected) {
  if (stream == nullptr || path == nullptr || target == nullptr) return EINVAL;
  // Closed first: a failed close is a failed write, checked before the file
  // can take the target's place.
  int32_t rc = osCloseFile(stream) == 0 ? 0 : errno != 0 ? errno : EIO;
  if (rc == 0 && fileFaultInjected(kFaultRename)) rc = errno;
  if (rc == 0) rc = stillExpected(target, expected);
  if (rc == 0 && std::rename(path, target) != 0) rc = errno;
  if (rc != 0) {
    unlink(path);
    return rc;
  }
  // The target is replaced now, so this can no longer fail: the file was
  // synced whole, and a folder that cannot be synced can at worst bring the
  // old one back after a crash.
  syncDirectoryOf(target);
  return 0;
}

int32_t osDiscardFile(FILE* stream, const char* path) {
  if (stream == nullptr || path == nullptr) return EINVAL;
  osCloseFile(stream);
  if (fileFaultInjected(kFaultDelete)) return errno;
  return unlink(path) == 0 ? 0 : errno;
}

int32_t osLinkCount(FILE* stream, uint32_t* count) {
  if (stream == nullptr || count == nullptr) return EINVAL;
  *count = 0;
  struct stat status;
  if (fstat(fileno(stream), &status) != 0) return errno;
  *count = static_cast<uint32_t>(status.st_nlink);
  return 0;
}

int32_t osCheckPrivate(FILE* file) {
  if (file == nullptr) return EINVAL;
  struct stat status;
  if (fstat(fileno(file), &status) != 0) return errno;
  // As ssh does for private keys: another owner could have chosen the key,
  // and any access by group or others is too much.
  if (status.st_uid != geteuid() && status.st_uid != 0) return EPERM;
  return (status.st_mode & (S_IRWXG | S_IRWXO)) != 0 ? EACCES : 0;
}
