// The path walk on POSIX: descriptors all the way. Each name is opened with
// O_PATH | O_NOFOLLOW relative to the folder before it, so a link is seen as
// a link, and its owner and target are read from that one descriptor: what
// is judged is what is followed. (O_PATH is Linux's; it also lets a caller
// pass through a folder it may search but not read.)
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/seams.h"

namespace {

// A descriptor closed when it goes, unless handed on.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { reset(-1); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

constexpr int kPathFlags = O_PATH | O_NOFOLLOW | O_CLOEXEC;

// Root and the caller may steer the caller's own run; nobody else.
bool ownerTrusted(const struct stat& status) {
  return status.st_uid == 0 || status.st_uid == geteuid();
}

std::string joined(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The names of `path` pushed onto `pending` so that the first is on top.
void pushNames(const std::string& path, std::vector<std::string>* pending) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) names.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  pending->insert(pending->end(), names.rbegin(), names.rend());
}

bool onProcfs(int fd) {
  struct statfs status;
  return fstatfs(fd, &status) == 0 && status.f_type == PROC_SUPER_MAGIC;
}

void setWhere(char* where, size_t size, const std::string& text) {
  if (where != nullptr && size > 0) std::snprintf(where, size, "%s", text.c_str());
}

}  // namespace

WalkedPath::~WalkedPath() { osReleasePath(this); }

size_t osPathLength(const char* path) { return path != nullptr ? std::strlen(path) : 0; }

void osReleasePath(WalkedPath* path) {
  if (path == nullptr) return;
  if (path->folder >= 0) close(static_cast<int>(path->folder));
  path->folder = -1;
  path->name[0] = '\0';
  path->text[0] = '\0';
  path->exists = false;
}

int32_t osWalkPath(const char* path, const WalkedPath* base, WalkedPath* out, char* where,
                   size_t size) {
  if (out == nullptr) return EINVAL;
  osReleasePath(out);
  setWhere(where, size, path != nullptr ? path : "");
  if (path == nullptr || path[0] == '\0' || path[std::strlen(path) - 1] == '/') return EINVAL;
  std::string folderText;
  Descriptor folder;
  if (path[0] == '/') {
    folder.reset(open("/", kPathFlags | O_DIRECTORY));
    folderText = "/";
  } else if (base != nullptr && base->folder >= 0) {
    folder.reset(fcntl(static_cast<int>(base->folder), F_DUPFD_CLOEXEC, 0));
    folderText = base->text;
    size_t slash = folderText.find_last_of('/');
    folderText = slash == std::string::npos ? "" : folderText.substr(0, slash + 1);
  } else {
    folder.reset(open(".", kPathFlags | O_DIRECTORY));
  }
  if (folder.get() < 0) return errno;

  std::vector<std::string> pending;
  pushNames(path, &pending);
  int linksFollowed = 0;
  std::string lastName;
  while (!pending.empty()) {
    std::string name = pending.back();
    pending.pop_back();
    bool last = pending.empty();
    if (name == ".") {
      if (last) return EINVAL;
      continue;
    }
    if (name == "..") {
      if (last) return EINVAL;
      folder.reset(openat(folder.get(), "..", kPathFlags | O_DIRECTORY));
      if (folder.get() < 0) return errno;
      folderText = joined(folderText, "..");
      continue;
    }
    if (name.size() >= sizeof out->name) return ENAMETOOLONG;
    Descriptor next(openat(folder.get(), name.c_str(), kPathFlags));
    if (next.get() < 0) {
      if (errno != ENOENT || !last) return errno;
      lastName = name;  // a name that does not exist yet, in a folder that does
      break;
    }
    struct stat status;
    if (fstat(next.get(), &status) != 0) return errno;
    if (S_ISLNK(status.st_mode)) {
      std::string linkText = joined(folderText, name);
      setWhere(where, size, linkText);
      if (!ownerTrusted(status)) return ELOOP;
      if (++linksFollowed > kMaxLinksFollowed) return EMLINK;
      char target[4096];
      ssize_t length = readlinkat(next.get(), "", target, sizeof target - 1);
      if (length <= 0) return length == 0 ? ENOENT : errno;
      target[length] = '\0';
      // /proc's links to pipes and sockets ("pipe:[N]", /dev/stdout's end)
      // name no path: the link itself is the last name, opened as a device.
      if (last && target[0] != '/' && onProcfs(folder.get())) {
        lastName = name;
        out->exists = true;
        break;
      }
      if (target[0] == '/') {
        folder.reset(open("/", kPathFlags | O_DIRECTORY));
        if (folder.get() < 0) return errno;
        folderText = "/";
      }
      // A link to a folder, as the last name, leaves nothing to name.
      if (last && target[length - 1] == '/') return EISDIR;
      pushNames(target, &pending);
      continue;
    }
    if (last) {
      lastName = name;
      out->exists = true;
      break;
    }
    if (!S_ISDIR(status.st_mode)) return ENOTDIR;
    folder.reset(next.release());
    folderText = joined(folderText, name);
    if (folderText.size() > kPathMaxCharacters) return ENAMETOOLONG;
  }
  std::string text = joined(folderText, lastName);
  if (lastName.empty() || text.size() > kPathMaxCharacters) {
    out->exists = false;
    return lastName.empty() ? EINVAL : ENAMETOOLONG;
  }
  std::memcpy(out->name, lastName.c_str(), lastName.size() + 1);
  std::memcpy(out->text, text.c_str(), text.size() + 1);
  out->folder = folder.release();
  seamStep("walked");
  return 0;
}

int32_t osCheckOwnedByCaller(const WalkedPath& path) {
  if (path.folder < 0) return EINVAL;
  struct stat status;
  if (fstatat(static_cast<int>(path.folder), path.name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? 0 : errno;
  }
  return ownerTrusted(status) ? 0 : EPERM;
}
