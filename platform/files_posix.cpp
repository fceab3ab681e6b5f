// POSIX file operations.
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <pthread.h>
#include <signal.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>

#include "platform/files.h"
#include "platform/files_internal.h"
#include "platform/results.h"

namespace {
FILE* openForReading(int folder, const char* path, int flags);
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
  return openForReading(AT_FDCWD, path, 0);
}

FILE* osOpenForReading(const WalkedPath& at) {
  if (at.folder < 0) {
    errno = EINVAL;
    return nullptr;
  }
  if (fileFaultInjected(kFaultOpen)) return nullptr;
  FILE* stream = openForReading(static_cast<int>(at.folder), at.name, O_NOFOLLOW);
  if (stream == nullptr) return nullptr;
  // Straight into the caller's buffer: the text may hold secrets, and a
  // stream buffer is freed without being wiped.
  std::setvbuf(stream, nullptr, _IONBF, 0);
  seamStep("opened");
  return stream;
}

FILE* osOpenDevice(const WalkedPath& at) {
  if (at.folder < 0) {
    errno = EINVAL;
    return nullptr;
  }
  if (fileFaultInjected(kFaultOpen)) return nullptr;
  int folder = static_cast<int>(at.folder);
  int fd = openat(folder, at.name, O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  // Only /proc's links to a pipe or socket end a walk as links (paths.h);
  // nobody else can make one there.
  struct statfs filesystem;
  if (fd < 0 && errno == ELOOP && fstatfs(folder, &filesystem) == 0 &&
      filesystem.f_type == PROC_SUPER_MAGIC) {
    fd = openat(folder, at.name, O_WRONLY | O_NOCTTY | O_CLOEXEC);
  }
  if (fd < 0) return nullptr;
  struct stat status;
  int error = fstat(fd, &status) != 0 ? errno
              : S_ISREG(status.st_mode) || S_ISDIR(status.st_mode) ? ENODEV
                                                                    : 0;
  FILE* stream = error == 0 ? fdopen(fd, "w") : nullptr;
  if (stream == nullptr) {
    if (error == 0) error = errno;
    close(fd);
    errno = error;
  }
  return stream;
}

namespace {

FILE* openForReading(int folder, const char* path, int flags) {
  // Opened without blocking, so that a FIFO named by mistake is refused at
  // once rather than waited on; only a regular file is read.
  int fd = openat(folder, path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags);
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

int64_t nanoseconds(const struct timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * 1000000000 + static_cast<int64_t>(time.tv_nsec);
}

FileId idOf(const struct stat& status) {
  FileId id;
  id.words[0] = static_cast<uint64_t>(status.st_dev);
  id.words[1] = static_cast<uint64_t>(status.st_ino);
  id.size = static_cast<uint64_t>(status.st_size);
  id.modified = nanoseconds(status.st_mtim);
  id.changed = nanoseconds(status.st_ctim);
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

int32_t osIdentifyAt(const WalkedPath& at, FileId* id, bool* exists) {
  if (at.folder < 0 || id == nullptr || exists == nullptr) return EINVAL;
  *exists = false;
  struct stat status;
  if (fstatat(static_cast<int>(at.folder), at.name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? 0 : errno;
  }
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

int32_t osFileKindAt(const WalkedPath& at, FileKind* kind) {
  if (at.folder < 0 || kind == nullptr) return EINVAL;
  struct stat status;
  if (fstatat(static_cast<int>(at.folder), at.name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
    *kind = FileKind::kMissing;
    return errno == ENOENT ? 0 : errno;
  }
  *kind = S_ISREG(status.st_mode) ? FileKind::kRegular : FileKind::kOther;
  return 0;
}

FILE* osCreatePrivateFile(const WalkedPath& at, const char* name, FILE* /*model*/) {
  if (at.folder < 0 || name == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  if (fileFaultInjected(kFaultOpen)) return nullptr;
  int folder = static_cast<int>(at.folder);
  // O_EXCL with O_NOFOLLOW: never a file or link that is already there.
  int fd = openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  S_IRUSR | S_IWUSR);
  if (fd < 0) return nullptr;
  FILE* stream = fdopen(fd, "w");
  if (stream == nullptr) {
    int saved = errno;
    close(fd);
    unlinkat(folder, name, 0);
    errno = saved;
  }
  return stream;
}

int32_t osAdoptPermissions(FILE* stream, FILE* modelStream, bool, bool* ownerKept,
                           bool* groupKept) {
  if (stream == nullptr || modelStream == nullptr || ownerKept == nullptr ||
      groupKept == nullptr) {
    return EINVAL;
  }
  *ownerKept = true;
  *groupKept = true;
  if (fileFaultInjected(kFaultRename)) return errno;
  struct stat model;
  if (fstat(fileno(modelStream), &model) != 0) return errno;
  // Through the open descriptor: the path could name another file by now.
  int fd = fileno(stream);
  struct stat current;
  if (fstat(fd, &current) != 0) return errno;
  // Owner and group first, so that the group's permissions never reach
  // another group. Only the superuser may give a file away, and others may
  // give it only to a group they are in; what they cannot keep they are told.
  if (current.st_uid != model.st_uid && fchown(fd, model.st_uid, static_cast<gid_t>(-1)) != 0) {
    if (errno != EPERM) return errno;
    *ownerKept = false;
  }
  if (current.st_gid != model.st_gid && fchown(fd, static_cast<uid_t>(-1), model.st_gid) != 0) {
    if (errno != EPERM) return errno;
    *groupKept = false;
  }
  // Without the group it was meant for, the group gets nothing.
  mode_t mode = model.st_mode & 07777;
  if (!*groupKept) mode &= ~static_cast<mode_t>(S_IRWXG | S_ISGID);
  return fchmod(fd, mode) == 0 ? 0 : errno;
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

// A rename is durable only once the folder that holds the name is synced;
// the walk holds the folder for lookups only, so it is opened for this.
void syncFolder(const WalkedPath& at) {
  if (fileFaultInjected(kFaultFlush)) return;
  int fd = openat(static_cast<int>(at.folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  // Some file systems cannot sync a folder; the rename itself has happened.
  fsync(fd);
  close(fd);
}

// The side file that an interruption removes. The handler reads it, so it
// changes only while the signals are blocked.
struct GuardedFile {
  volatile sig_atomic_t armed = 0;
  int folder = -1;
  FILE* stream = nullptr;
  char name[kPathSize] = {};
};
GuardedFile guarded;
constexpr int kGuardedSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previousActions[3];
bool handlersInstalled = false;

extern "C" void removeGuardedAndExit(int signal) {
  // unlinkat and _exit are async-signal-safe; nothing else is called.
  if (guarded.armed) unlinkat(guarded.folder, guarded.name, 0);
  _exit(kInterrupted + signal);
}

// Blocks the guarded signals for as long as it lives.
class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kGuardedSignals) sigaddset(&set, signal);
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

// Called with the signals blocked.
void letGo(FILE* stream) {
  if (stream != nullptr && guarded.stream != stream) return;
  guarded.armed = 0;
  guarded.stream = nullptr;
  if (!handlersInstalled) return;
  for (size_t i = 0; i < 3; ++i) sigaction(kGuardedSignals[i], &previousActions[i], nullptr);
  handlersInstalled = false;
}

}  // namespace

void osGuardSideFile(FILE* stream, const WalkedPath* at, const char* sideName) {
  SignalsBlocked blocked;
  letGo(nullptr);
  if (stream == nullptr || at == nullptr || sideName == nullptr) return;
  std::snprintf(guarded.name, sizeof guarded.name, "%s", sideName);
  guarded.folder = static_cast<int>(at->folder);
  guarded.stream = stream;
  guarded.armed = 1;
  struct sigaction action = {};
  action.sa_handler = removeGuardedAndExit;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < 3; ++i) {
    sigaction(kGuardedSignals[i], nullptr, &previousActions[i]);
    // A signal the caller chose to ignore (nohup) stays ignored.
    if (previousActions[i].sa_handler != SIG_IGN) {
      sigaction(kGuardedSignals[i], &action, nullptr);
    }
  }
  handlersInstalled = true;
}

namespace {

// Just before the file at `at`'s name is replaced: 0 when the name still
// holds the file `expected` identifies, unchanged (or `expected` is null),
// else ECANCELED or the errno of the look-up.
int32_t stillExpected(const WalkedPath& at, const FileId* expected) {
  seamStep("commit");
  if (expected == nullptr) return 0;
  FileId now;
  bool exists = false;
  int32_t rc = osIdentifyAt(at, &now, &exists);
  return rc != 0 ? rc : exists && now == *expected ? 0 : ECANCELED;
}

}  // namespace

int32_t osCommitFile(FILE* stream, const WalkedPath& at, const char* sideName,
                     const FileId* expected) {
  if (stream == nullptr || at.folder < 0 || sideName == nullptr) return EINVAL;
  int folder = static_cast<int>(at.folder);
  // Closed first: a failed close is a failed write, checked before the file
  // can take the target's place.
  int32_t rc = osCloseFile(stream) == 0 ? 0 : errno != 0 ? errno : EIO;
  if (rc == 0 && fileFaultInjected(kFaultRename)) rc = errno;
  if (rc == 0) rc = stillExpected(at, expected);
  {
    // An interruption either removes the side file or comes after the
    // rename, never between.
    SignalsBlocked blocked;
    if (rc == 0 && renameat(folder, sideName, folder, at.name) != 0) rc = errno;
    if (rc != 0) unlinkat(folder, sideName, 0);
    letGo(stream);
  }
  if (rc != 0) return rc;
  // The target is replaced now, so this can no longer fail: the file was
  // synced whole, and a folder that cannot be synced can at worst bring the
  // old one back after a crash.
  syncFolder(at);
  return 0;
}

int32_t osDiscardFile(FILE* stream, const WalkedPath& at, const char* sideName) {
  if (stream == nullptr || at.folder < 0 || sideName == nullptr) return EINVAL;
  osCloseFile(stream);
  int32_t rc = 0;
  {
    SignalsBlocked blocked;
    if (fileFaultInjected(kFaultDelete)) {
      rc = errno;
    } else if (unlinkat(static_cast<int>(at.folder), sideName, 0) != 0) {
      rc = errno;
    }
    letGo(stream);
  }
  return rc;
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
  // Another owner could have chosen the key. Any access by others is too
  // much, and so is any by the group of a file of the caller's own, as ssh
  // has it for private keys. A file of root's may let its group read it, as
  // a database server's key may: the service in that group reads the key
  // while only root may change or replace it.
  if (status.st_uid != geteuid() && status.st_uid != 0) return EPERM;
  mode_t tooMuch = status.st_uid == 0 ? (S_IWGRP | S_IXGRP | S_IRWXO) : (S_IRWXG | S_IRWXO);
  return (status.st_mode & tooMuch) != 0 ? EACCES : 0;
}

int32_t osCheckPrivateIn(FILE* file, const WalkedPath&) {
  // Whoever may write the folder may also replace the key file; that is the
  // folder owner's choice, as for every file in it.
  return osCheckPrivate(file);
}

namespace {

constexpr int kFindDepth = 64;

// The files of one folder, held open by `fd` (which this closes), then of
// its subfolders.
int32_t findIn(int fd, const std::string& path, const char* pattern, int depth,
               std::vector<std::string>* files) {
  DIR* folder = fdopendir(fd);
  if (folder == nullptr) {
    int32_t error = errno;
    close(fd);
    return error;
  }
  std::vector<std::string> names;
  errno = 0;
  while (dirent* entry = readdir(folder)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  int32_t error = errno;
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    struct stat about;
    if (error != 0 || fstatat(dirfd(folder), name.c_str(), &about, AT_SYMLINK_NOFOLLOW) != 0) {
      if (error == 0) error = errno;
      break;
    }
    std::string child = path + "/" + name;
    if (S_ISREG(about.st_mode) && fnmatch(pattern, name.c_str(), FNM_PERIOD) == 0) {
      files->push_back(child);
    } else if (S_ISDIR(about.st_mode) && depth < kFindDepth) {
      int sub = openat(dirfd(folder), name.c_str(),
                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      error = sub < 0 ? errno : findIn(sub, child, pattern, depth + 1, files);
    }
  }
  closedir(folder);
  return error;
}

}  // namespace

int32_t osFindFiles(const char* folder, const char* pattern, std::vector<std::string>* files) {
  int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  std::string path(folder);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return findIn(fd, path, pattern, 0, files);
}
