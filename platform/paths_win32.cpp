// The path walk on Windows. Each name is opened as it is (a reparse point
// itself, never what it points to) below the folders already open, and
// every folder stays open without delete sharing until the WalkedPath goes:
// a folder held so cannot be renamed, removed or replaced, so the path text
// keeps naming what was walked and the later calls may go by it. Internally
// paths take the "\\?\" form, so that Windows maps no name to another.
#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <winioctl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/files_win32.h"
#include "platform/paths.h"
#include "platform/seams.h"
#include "platform/utf16_win32.h"

namespace {

// The longest path the program takes: 260 UTF-16 units, as Windows counts,
// however many bytes its UTF-8 text takes.
constexpr size_t kPathMaxUnits = kPathMaxCharacters;

// Everything a walk holds open, and the folder that holds the last name.
struct HeldFolders {
  std::vector<HANDLE> handles;
  std::wstring folder;  // "\\?\" form, no separator at its end
  bool folderIsRoot = false;
  HANDLE folderHandle = INVALID_HANDLE_VALUE;
};

// Closes a handle of the walk that is not held.
class Unheld {
 public:
  explicit Unheld(HANDLE handle) : handle_(handle) {}
  ~Unheld() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  Unheld(const Unheld&) = delete;
  Unheld& operator=(const Unheld&) = delete;

 private:
  HANDLE handle_;
};

HeldFolders* heldOf(const WalkedPath& path) { return static_cast<HeldFolders*>(path.chain); }

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool sameText(const std::wstring& first, const std::wstring& second) {
  return CompareStringOrdinal(first.c_str(), static_cast<int>(first.size()), second.c_str(),
                              static_cast<int>(second.size()), TRUE) == CSTR_EQUAL;
}

bool startsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// A name on the way, and whether it is taken as it is (from a "\\?\" path
// or a link's target) or as Windows takes a typed path's names.
struct PendingName {
  std::wstring name;
  bool verbatim;
};

// Pushes the names of `path` onto `pending` so that the first is on top.
void pushNames(const std::wstring& path, bool verbatim, std::vector<PendingName>* pending) {
  std::vector<PendingName> names;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = start;
    while (end < path.size() && !isSeparator(path[end])) ++end;
    if (end > start) names.push_back({path.substr(start, end - start), verbatim});
    start = end + 1;
  }
  pending->insert(pending->end(), names.rbegin(), names.rend());
}

// Splits an absolute path into its root in the "\\?\" form ("\\?\C:",
// "\\?\UNC\server\share", "\\?\Volume{...}") and the rest. EINVAL for the
// device namespace or a stream part (':' after the root); ENOENT when the
// path has no root of these forms.
int32_t splitRoot(const std::wstring& path, std::wstring* root, std::wstring* rest,
                  bool* verbatim) {
  auto nameEnd = [&path](size_t from) {
    while (from < path.size() && !isSeparator(path[from])) ++from;
    return from;
  };
  size_t restAt = 0;
  *verbatim = startsWith(path, L"\\\\?\\");
  if (*verbatim) {
    size_t first = 4;
    if (path.size() >= 8 && CompareStringOrdinal(path.c_str() + 4, 4, L"UNC\\", 4, TRUE) ==
                                CSTR_EQUAL) {
      size_t server = nameEnd(8);
      size_t share = nameEnd(server + 1);
      if (server == 8 || share <= server + 1) return EINVAL;
      *root = L"\\\\?\\UNC\\" + path.substr(8, share - 8);
      restAt = share;
    } else {
      size_t end = nameEnd(first);
      if (end == first) return EINVAL;
      *root = L"\\\\?\\" + path.substr(first, end - first);
      restAt = end;
    }
  } else if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1])) {
    // "\\.\" and "\??\" reach devices, not folders to walk.
    if (path.size() >= 3 && (path[2] == L'.' || path[2] == L'?')) return EINVAL;
    size_t server = nameEnd(2);
    size_t share = nameEnd(server + 1);
    if (server == 2 || share <= server + 1) return EINVAL;
    *root = L"\\\\?\\UNC\\" + path.substr(2, server - 2) + L"\\" +
            path.substr(server + 1, share - server - 1);
    restAt = share;
  } else if (path.size() >= 3 && path[1] == L':' && isSeparator(path[2]) &&
             ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'))) {
    *root = L"\\\\?\\" + path.substr(0, 2);
    restAt = 2;
  } else {
    return ENOENT;
  }
  *rest = path.substr(restAt);
  return rest->find(L':') == std::wstring::npos ? 0 : EINVAL;
}

// A name as Windows takes it from a typed path: a trailing dot dropped, and
// for the last name every trailing dot and space.
std::wstring typedName(const std::wstring& name, bool last) {
  if (name == L"." || name == L"..") return name;
  std::wstring trimmed = name;
  if (last) {
    while (!trimmed.empty() && (trimmed.back() == L'.' || trimmed.back() == L' ')) {
      trimmed.pop_back();
    }
  } else if (trimmed.size() >= 2 && trimmed.back() == L'.' && trimmed[trimmed.size() - 2] != L'.') {
    trimmed.pop_back();
  }
  return trimmed;
}

bool hasTrailingDotOrSpace(const std::wstring& name) {
  return !name.empty() && (name.back() == L'.' || name.back() == L' ');
}

bool isDosDeviceName(const std::wstring& name) {
  std::wstring base = name.substr(0, name.find(L'.'));
  while (!base.empty() && base.back() == L' ') base.pop_back();
  static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$",
                                            L"CONOUT$"};
  for (const wchar_t* device : kDevices) {
    if (sameText(base, device)) return true;
  }
  return base.size() == 4 && (sameText(base.substr(0, 3), L"COM") ||
                              sameText(base.substr(0, 3), L"LPT")) &&
         base[3] >= L'1' && base[3] <= L'9';
}

// Opens a folder on the way and holds it. Traverse (or list) access is asked
// because a handle with attribute access alone takes no part in sharing and
// would not keep the folder from being renamed.
HANDLE openHeld(const std::wstring& path) {
  for (DWORD access : {FILE_TRAVERSE, FILE_LIST_DIRECTORY}) {
    HANDLE handle = CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) return handle;
  }
  return INVALID_HANDLE_VALUE;
}

// Whether the open file is a link: a name-surrogate reparse point. Other
// reparse points (deduplicated, cloud, compressed files) are plain files.
bool isLink(HANDLE handle, const FILE_BASIC_INFO& basic) {
  if ((basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) return true;
  return IsReparseTagNameSurrogate(tag.ReparseTag);
}

// The text a link holds: the target of a symbolic link or junction, in the
// "\\?\" form when absolute; *relative when it is taken from the link's
// folder. Any other kind of link is opened through (the system follows it)
// and its final path taken.
int32_t linkTarget(HANDLE link, const std::wstring& linkPath, std::wstring* target,
                   bool* relative) {
  *relative = false;
  alignas(8) unsigned char data[16 * 1024];
  DWORD got = 0;
  if (!DeviceIoControl(link, FSCTL_GET_REPARSE_POINT, nullptr, 0, data, sizeof data, &got,
                       nullptr) ||
      got < 8) {
    return errnoFromWindows(GetLastError());
  }
  DWORD tag = 0;
  std::memcpy(&tag, data, sizeof tag);
  if (tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT) {
    // Both layouts: the substitute name's offset and length (bytes) into
    // the path buffer, which follows the flags of a symbolic link.
    WORD fields[2] = {};
    size_t buffer = tag == IO_REPARSE_TAG_SYMLINK ? 20 : 16;
    if (got < buffer) return EIO;
    std::memcpy(fields, data + 8, sizeof fields);
    if (tag == IO_REPARSE_TAG_SYMLINK) {
      ULONG flags = 0;
      std::memcpy(&flags, data + 16, sizeof flags);
      *relative = (flags & 1) != 0;  // SYMLINK_FLAG_RELATIVE
    }
    if (buffer + fields[0] + fields[1] > got || fields[1] == 0) return EIO;
    target->assign(fields[1] / sizeof(wchar_t), L'\0');
    std::memcpy(target->data(), data + buffer + fields[0], fields[1]);
    if (startsWith(*target, L"\\??\\")) (*target)[1] = L'\\';
    return 0;
  }
  HANDLE through = CreateFileW(linkPath.c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (through == INVALID_HANDLE_VALUE) return errnoFromWindows(GetLastError());
  *target = finalPath(through);
  CloseHandle(through);
  return target->empty() ? EIO : 0;
}

void setWhere(char* where, size_t size, const std::wstring& text) {
  std::string narrow;
  if (where != nullptr && size > 0 && wideToUtf8(text.c_str(), &narrow)) {
    std::snprintf(where, size, "%s", narrow.c_str());
  }
}

// One walk: the folder reached so far, as its root and the names below it.
class Walk {
 public:
  Walk(HeldFolders* held, char* where, size_t size) : held_(held), where_(where), size_(size) {}

  // Continues from the absolute `path`: its root opened, its names pushed.
  int32_t restart(const std::wstring& path, std::vector<PendingName>* pending) {
    std::wstring rest;
    bool verbatim = false;
    if (int32_t rc = splitRoot(path, &root_, &rest, &verbatim)) return rc == ENOENT ? EINVAL : rc;
    names_.clear();
    if (int32_t rc = holdCurrent()) return rc;
    pushNames(rest, verbatim, pending);
    return 0;
  }

  std::wstring current() const {
    std::wstring path = root_;
    for (const std::wstring& name : names_) path += L"\\" + name;
    return path;
  }

  // The path as the program shows it: the plain form unless a name needs
  // "\\?\" (a trailing dot or space).
  std::wstring display(const std::wstring& last) const {
    std::wstring path = current() + L"\\" + last;
    bool plainFits = !hasTrailingDotOrSpace(last);
    for (const std::wstring& name : names_) plainFits = plainFits && !hasTrailingDotOrSpace(name);
    if (!plainFits) return path;
    if (startsWith(path, L"\\\\?\\UNC\\")) return L"\\" + path.substr(7);
    if (path.size() >= 6 && path[5] == L':') return path.substr(4);
    return path;
  }

  int32_t walk(std::vector<PendingName>* pending, std::wstring* lastName, bool* exists) {
    while (!pending->empty()) {
      PendingName next = pending->back();
      pending->pop_back();
      bool last = pending->empty();
      std::wstring name = next.verbatim ? next.name : typedName(next.name, last);
      if (name.empty() || name == L".") {
        if (last) return EINVAL;
        continue;
      }
      if (name == L"..") {
        if (last) return EINVAL;
        if (!names_.empty()) {
          names_.pop_back();
          if (int32_t rc = holdCurrent()) return rc;
        }
        continue;
      }
      if (last && isDosDeviceName(name)) {
        *lastName = name;
        *exists = true;
        return 0;
      }
      std::wstring path = current() + L"\\" + name;
      HANDLE handle = last ? CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                         nullptr)
                           : openHeld(path);
      if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (last && error == ERROR_FILE_NOT_FOUND) {
          *lastName = name;
          *exists = false;
          return 0;
        }
        return errnoFromWindows(error);
      }
      // Folders are held; the last name is only looked at.
      if (!last) held_->handles.push_back(handle);
      Unheld lookedAt(last ? handle : INVALID_HANDLE_VALUE);
      FILE_BASIC_INFO basic{};
      if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
        return errnoFromWindows(GetLastError());
      }
      if (isLink(handle, basic)) {
        if (int32_t rc = follow(handle, name, pending)) return rc;
        continue;
      }
      if (!last && (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ENOTDIR;
      // The final path names the file as the volume spells it (case, long
      // names); where it leads elsewhere, the system followed a link it
      // shows as none (a POSIX link under Wine): the walk goes on there.
      std::wstring finalName = name;
      if (int32_t rc = adoptFinalPath(handle, last, &finalName)) return rc;
      if (last) {
        *lastName = finalName;
        *exists = true;
        return 0;
      }
      setFolder(handle);
    }
    return EINVAL;
  }

 private:
  // Holds the folder reached, opened again by its path (which the folders
  // held above it keep meaning this folder).
  int32_t holdCurrent() {
    // A root is opened as "C:\\", the other folders without the separator.
    HANDLE handle = openHeld(names_.empty() ? root_ + L"\\" : current());
    if (handle == INVALID_HANDLE_VALUE) return errnoFromWindows(GetLastError());
    held_->handles.push_back(handle);
    setFolder(handle);
    return 0;
  }

  void setFolder(HANDLE handle) {
    held_->folder = current();
    held_->folderIsRoot = names_.empty();
    held_->folderHandle = handle;
  }

  // Counts a link followed, `name` in the current folder.
  int32_t countLink(const std::wstring& name) {
    if (++linksFollowed_ <= kMaxLinksFollowed) return 0;
    setWhere(where_, size_, display(name));
    return EMLINK;
  }

  // Follows the link open as `link`, named `name` in the current folder,
  // when its owner may steer this process.
  int32_t follow(HANDLE link, const std::wstring& name, std::vector<PendingName>* pending) {
    std::wstring linkPath = current() + L"\\" + name;
    setWhere(where_, size_, display(name));
    HANDLE control = ReOpenFile(link, READ_CONTROL | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    if (control == INVALID_HANDLE_VALUE) return errnoFromWindows(GetLastError());
    int32_t trusted = handleOwnerTrusted(control);
    CloseHandle(control);
    if (trusted != 0) return trusted == EPERM ? ELOOP : trusted;
    if (int32_t rc = countLink(name)) return rc;
    std::wstring target;
    bool relative = false;
    if (int32_t rc = linkTarget(link, linkPath, &target, &relative)) return rc;
    if (relative) {
      pushNames(target, true, pending);
      return 0;
    }
    std::vector<PendingName> rest;
    rest.swap(*pending);
    if (int32_t rc = restart(target, pending)) return rc;
    pending->insert(pending->begin(), rest.begin(), rest.end());
    return 0;
  }

  int32_t adoptFinalPath(HANDLE handle, bool last, std::wstring* finalName) {
    std::wstring final = finalPath(handle);
    if (final.empty()) return 0;
    if (!startsWith(final, L"\\\\?\\")) {
      final = startsWith(final, L"\\\\") ? L"\\\\?\\UNC\\" + final.substr(2) : L"\\\\?\\" + final;
    }
    std::wstring root;
    std::wstring rest;
    bool verbatim = false;
    if (splitRoot(final, &root, &rest, &verbatim) != 0) return 0;
    std::vector<PendingName> names;
    pushNames(rest, true, &names);
    if (names.empty()) return 0;
    std::vector<std::wstring> folders;
    for (auto at = names.rbegin(); at != names.rend(); ++at) folders.push_back(at->name);
    std::wstring leaf = folders.back();
    if (last) folders.pop_back();
    bool same = sameText(root, root_) && folders.size() == names_.size() + (last ? 0 : 1);
    for (size_t index = 0; same && index < names_.size(); ++index) {
      same = sameText(folders[index], names_[index]);
    }
    if (!same) {
      if (int32_t rc = countLink(*finalName)) return rc;
    }
    root_ = root;
    names_ = folders;
    *finalName = leaf;
    if (!same && last) return holdCurrent();
    return 0;
  }

  HeldFolders* held_;
  char* where_;
  size_t size_;
  std::wstring root_;
  std::vector<std::wstring> names_;
  int linksFollowed_ = 0;
};

}  // namespace

WalkedPath::~WalkedPath() { osReleasePath(this); }

size_t osPathLength(const char* path) {
  size_t units = 0;
  for (const char* p = path != nullptr ? path : ""; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    // Continuation bytes add nothing; a four-byte sequence is a surrogate pair.
    if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
  }
  return units;
}

void osReleasePath(WalkedPath* path) {
  if (path == nullptr) return;
  if (HeldFolders* held = heldOf(*path)) {
    for (HANDLE handle : held->handles) CloseHandle(handle);
    delete held;
  }
  path->chain = nullptr;
  path->folder = -1;
  path->name[0] = '\0';
  path->text[0] = '\0';
  path->exists = false;
}

int32_t osWalkPath(const char* path, const WalkedPath* base, WalkedPath* out, char* where,
                   size_t size) {
  if (out == nullptr) return EINVAL;
  osReleasePath(out);
  if (where != nullptr && size > 0) std::snprintf(where, size, "%s", path != nullptr ? path : "");
  std::wstring wide;
  if (path == nullptr || !utf8ToWide(path, &wide) || wide.empty() || isSeparator(wide.back())) {
    return EINVAL;
  }
  // Where a relative path starts: `base`'s folder, else the current folder
  // (of the drive named, for "D:name"; its root, for "\name").
  std::wstring start;
  std::wstring relative = wide;
  bool driveRelative = wide.size() >= 2 && wide[1] == L':' && (wide.size() == 2 || !isSeparator(wide[2]));
  bool rooted = isSeparator(wide[0]) && (wide.size() < 2 || !isSeparator(wide[1]));
  std::wstring root;
  std::wstring rest;
  bool verbatim = false;
  int32_t split = splitRoot(wide, &root, &rest, &verbatim);
  if (split == EINVAL) return EINVAL;
  if (split == ENOENT) {
    if (base != nullptr && heldOf(*base) != nullptr && !driveRelative && !rooted) {
      start = heldOf(*base)->folder;
    } else {
      std::wstring folder = driveRelative ? wide.substr(0, 2) : L".";
      std::wstring full(MAX_PATH + 1, L'\0');
      DWORD length = GetFullPathNameW(folder.c_str(), static_cast<DWORD>(full.size()),
                                      full.data(), nullptr);
      if (length == 0 || length >= full.size()) return ENAMETOOLONG;
      full.resize(length);
      start = full;
      if (driveRelative) relative = wide.substr(2);
    }
    if (rooted) {
      if (splitRoot(start, &root, &rest, &verbatim) != 0) return EINVAL;
      start = root + L"\\";
    }
    // The relative part may not name a stream either.
    if (relative.find(L':') != std::wstring::npos) return EINVAL;
  }

  auto* held = new (std::nothrow) HeldFolders;
  if (held == nullptr) return ENOMEM;
  out->chain = held;
  Walk walk(held, where, size);
  std::vector<PendingName> pending;
  std::vector<PendingName> typed;
  pushNames(split == 0 ? rest : relative, split == 0 && verbatim, &typed);
  int32_t rc = walk.restart(split == 0 ? root + L"\\" : start, &pending);
  // The typed names come after the starting folder's.
  pending.insert(pending.begin(), typed.begin(), typed.end());
  std::wstring lastName;
  bool exists = false;
  if (rc == 0) rc = walk.walk(&pending, &lastName, &exists);
  std::string name;
  std::string text;
  std::wstring shown = rc == 0 ? walk.display(lastName) : L"";
  if (rc == 0 && (shown.size() > kPathMaxUnits || !wideToUtf8(lastName.c_str(), &name) ||
                  !wideToUtf8(shown.c_str(), &text) || text.size() >= sizeof out->text)) {
    rc = ENAMETOOLONG;
  }
  if (rc != 0) {
    osReleasePath(out);
    return rc;
  }
  std::memcpy(out->name, name.c_str(), name.size() + 1);
  std::memcpy(out->text, text.c_str(), text.size() + 1);
  out->exists = exists;
  out->folder = reinterpret_cast<intptr_t>(held->folderHandle);
  seamStep("walked");
  return 0;
}

int32_t osCheckOwnedByCaller(const WalkedPath& path) {
  std::wstring wide;
  if (int32_t rc = pathInFolder(path, path.name, &wide)) return rc;
  if (startsWith(wide, L"\\\\.\\")) return 0;  // a device belongs to nobody
  HANDLE handle = CreateFileW(wide.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? 0 : errnoFromWindows(error);
  }
  int32_t rc = handleOwnerTrusted(handle);
  CloseHandle(handle);
  return rc;
}

int32_t pathInFolder(const WalkedPath& at, const char* name, std::wstring* out) {
  out->clear();
  HeldFolders* held = heldOf(at);
  if (held != nullptr && name == nullptr) {
    *out = held->folderIsRoot ? held->folder + L"\\" : held->folder;
    return 0;
  }
  std::wstring wide;
  if (held == nullptr || name == nullptr || !utf8ToWide(name, &wide) || wide.empty() ||
      wide.find_first_of(L"\\/:") != std::wstring::npos) {
    return EINVAL;
  }
  *out = isDosDeviceName(wide) ? L"\\\\.\\" + wide.substr(0, wide.find(L'.'))
                               : held->folder + L"\\" + wide;
  return 0;
}
