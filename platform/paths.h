#ifndef ORV_PLATFORM_PATHS_H_
#define ORV_PLATFORM_PATHS_H_

#include <cstddef>
#include <cstdint>

// The path walk: the one way the program reaches a file it reads or writes.
// A path is walked one name at a time from a folder held open, never looked
// up again as a whole. A symbolic link (on Windows any name-surrogate
// reparse point: a symbolic link, junction or mount point; other reparse
// points, such as deduplicated, cloud or compressed files, are plain files)
// is followed only when root or the caller owns it (on Windows the current
// user, SYSTEM or Administrators): anyone else could point it at any file.
// At most kMaxLinksFollowed links are followed. The folder that holds the
// last name stays open until the WalkedPath goes, and every later step
// (open, create, rename, remove, identify) works relative to it; on Windows
// every folder on the way is held open without delete sharing, so that none
// of them can be renamed or replaced while the run works.

constexpr int kMaxLinksFollowed = 40;

// The longest path the program takes, in characters: bytes on POSIX, UTF-16
// code units on Windows (osPathLength). Longer paths are refused, never cut.
constexpr size_t kPathMaxCharacters = 260;
// Room for the UTF-8 text of such a path and its NUL.
constexpr size_t kPathSize = 4 * kPathMaxCharacters + 1;

// The length of a UTF-8 path as the platform limits it: its bytes on POSIX,
// its UTF-16 code units on Windows (a character beyond the Basic
// Multilingual Plane counts twice, as Windows counts it).
size_t osPathLength(const char* path);

struct WalkedPath {
  WalkedPath() = default;
  ~WalkedPath();  // lets go of the held folders
  WalkedPath(const WalkedPath&) = delete;
  WalkedPath& operator=(const WalkedPath&) = delete;

  // The folder that holds `name`, open (a descriptor on POSIX, a HANDLE on
  // Windows); -1 until a walk succeeds.
  intptr_t folder = -1;
  // Windows: every folder on the way, held; the platform's to release.
  void* chain = nullptr;
  // The last name, no separator in it; a link there was followed, so this
  // names what is not a link (or nothing yet).
  char name[kPathSize] = {};
  // The whole path with its links followed, for messages and, on Windows,
  // the calls that take a path (the held folders keep it meaning this file).
  char text[kPathSize] = {};
  // Whether anything has `name` in `folder` when the walk ended.
  bool exists = false;
};

// Walks `path` (UTF-8): from `base`'s folder when `path` is relative and
// `base` is given (so that a name read from a file is taken from that file's
// folder), else from the current folder or the root. Every folder on the
// way must exist. 0; ELOOP when a link is refused (another owner), EMLINK
// when more than kMaxLinksFollowed are met, either with `where` (size
// bytes) naming that link; ENAMETOOLONG when a name or the whole text does
// not fit; EINVAL for an empty path, one that ends in a separator or, on Windows, names a
// stream (':' after the drive or volume prefix); ENOTDIR, ENOENT or
// another errno when a folder on the way cannot be opened. `out` is
// released first and left released on failure.
int32_t osWalkPath(const char* path, const WalkedPath* base, WalkedPath* out, char* where,
                   size_t size);

// Lets go of what a walk holds; `path` is as new afterwards.
void osReleasePath(WalkedPath* path);

// Whether the caller may take the file at `path`'s name as its own: 0 when
// it belongs to the caller or root (Windows: the current user, SYSTEM or
// Administrators), or nothing has that name; EPERM when another user owns
// it, who could read or replace what is written there.
int32_t osCheckOwnedByCaller(const WalkedPath& path);

#endif  // ORV_PLATFORM_PATHS_H_
