#ifndef ORV_PLATFORM_FILES_H_
#define ORV_PLATFORM_FILES_H_

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/trace.h"

// Files. Every file operation of the program goes through these, so that
// tests can make any of them fail (platform/seams.h). On failure each
// sets errno and returns what the standard function would.

// The two real differences of text and path syntax between the platforms:
// the separator of a path's folders, and the line end of a text file
// written from nothing (a line of an existing file keeps its own end).
#ifdef _WIN32
constexpr char kPathSeparator = '\\';
constexpr const char* kLineEnd = "\r\n";
#else
constexpr char kPathSeparator = '/';
constexpr const char* kLineEnd = "\n";
#endif

// Whether a path names its file without a current folder: on POSIX one
// that begins with '/'; on Windows one that begins with a separator or a
// drive letter and ':'.
bool osIsAbsolutePath(const char* path);

// fopen with the modes "rN", "rbN" (read) and "wN", "wbN" (write, create or
// truncate), the handle not inherited by child processes (close-on-exec on
// POSIX), for files the program makes for itself (tests, benchmarks). A file
// that a user names is reached through a walked path instead.
FILE* osOpenFile(const char* path, const char* mode);

// Opens the file at `at`'s name for reading in binary mode, not inherited by
// child processes, without a C library buffer (so that none of a secret
// stays in a buffer freed unwiped). A link that stands there by now is
// refused (ELOOP), never followed: the walk followed the links. Only a
// regular file is opened, and never waited on: a folder fails with EISDIR,
// a device or pipe with ENODEV. Null and errno on failure.
FILE* osOpenForReading(const WalkedPath& at);

// Opens what stands at `at`'s name for writing when it is no regular file
// (a device, pipe or terminal, such as /dev/null), as it is, without
// truncating; ENODEV when it is a regular file or a folder by now.
FILE* osOpenDevice(const WalkedPath& at);

// fread.
size_t osReadFile(void* buffer, size_t size, size_t count, FILE* stream);

// fseek with a 64-bit offset (fseeko on POSIX, _fseeki64 on Windows). 0 or -1.
int osSeekFile(FILE* stream, int64_t offset, int origin);

// ftell with a 64-bit result (ftello on POSIX, _ftelli64 on Windows); -1 on
// failure. Seeks and tells count as reads for fault injection.
int64_t osTellFile(FILE* stream);

// fprintf. A failed write marks the stream, so osFileError reports it.
int osPrintFile(FILE* stream, const char* format, ...) ORV_PRINTF_FORMAT(2, 3);

// fwrite. Like osPrintFile a write fault point; a failed write marks the
// stream, so osFileError reports it.
size_t osWriteFile(const void* buffer, size_t size, size_t count, FILE* stream);

// ferror, or a failure injected into a write of this stream.
bool osFileError(FILE* stream);

// fclose; EOF when the close or an earlier write failed.
int osCloseFile(FILE* stream);

// Whether the open file is kept from other users: 0; EPERM when its owner
// is another user (on POSIX neither the caller nor root; on Windows neither
// the current user, SYSTEM nor Administrators), who could have chosen its
// content; EACCES when others may read or change it (on POSIX any other
// permission bit, and any group bit but group read on a file of root's, as
// a database server's key may be kept; on Windows any
// access list entry that lets anyone but those three read, write, append
// to or delete it or change its access list or owner, or no access list at
// all); another errno when its permissions cannot be read. Asked of the
// open file, so the file checked is the file read.
int32_t osCheckPrivate(FILE* file);

// osCheckPrivate of a key file reached through `at` (open as `file` from
// `at`'s name), counting who may remove it from its folder: on Windows also
// EACCES when the folder's owner, or an allow entry of the folder that
// grants deleting what it holds (or changing its access list or owner),
// is anyone but the current user, SYSTEM or Administrators, or the folder
// has no access list. POSIX ignores `at`.
int32_t osCheckPrivateIn(FILE* file, const WalkedPath& at);

// What identifies a file while it exists, and which version of its content
// it holds: device and inode on POSIX, on Windows the volume serial number
// and the 128-bit file ID (all zero where the file system gives none, which
// identifies nothing: such files are told apart by their final paths); then
// the size and the times of the last write and of the last change.
struct FileId {
  uint64_t words[3] = {};
  uint64_t size = 0;
  int64_t modified = 0;
  int64_t changed = 0;

  bool known() const { return (words[0] | words[1] | words[2]) != 0; }
  // The same file, whatever happened to it since.
  bool sameFile(const FileId& other) const {
    return known() && words[0] == other.words[0] && words[1] == other.words[1] &&
           words[2] == other.words[2];
  }
  // The same file, unchanged.
  bool operator==(const FileId& other) const {
    return sameFile(other) && size == other.size && modified == other.modified &&
           changed == other.changed;
  }
};

// The identity of the open file.
int32_t osIdentifyFile(FILE* stream, FileId* id);

// The identity of what has `at`'s name in its folder now (a link itself,
// never what it points to); *exists is false (and the result 0) when
// nothing has it.
int32_t osIdentifyAt(const WalkedPath& at, FileId* id, bool* exists);

// Safe replacement of a file that holds secrets. Each returns 0 or an errno
// value (Windows errors are converted to the nearest errno). Paths are UTF-8
// on every platform.

// *same becomes true when both paths name one existing file (device and
// inode; on Windows the volume and 128-bit file ID, or, where the file system
// gives no ID, the final paths), whatever their texts, links followed. A path
// that names no file is no match; any other failure is returned, never taken
// as "different". Opens nothing: only for telling two names apart.
int32_t osSameFile(const char* first, const char* second, bool* same);

// *count becomes the number of names (hard links) of the open file.
int32_t osLinkCount(FILE* stream, uint32_t* count);

// What stands at a name, links not followed (a walk followed them).
enum class FileKind { kMissing, kRegular, kOther };

// *kind becomes what has `at`'s name now: nothing, a regular file, or
// anything else (a folder, device, pipe or link). 0, or an errno.
int32_t osFileKindAt(const WalkedPath& at, FileKind* kind);

// Creates `name` in `at`'s folder for writing in binary mode, exclusively
// (EEXIST when any file or link has that name: nothing is ever removed or
// overwritten), readable and writable by its owner only, not inherited by
// child processes; never created without that owner-only protection. On
// Windows the file is created encrypted when the file open as `model` (may
// be null) is. Null and errno on failure.
FILE* osCreatePrivateFile(const WalkedPath& at, const char* name, FILE* model);

// Gives the file open as `stream` the permissions and owner of the file open
// as `model` (on Windows its access list with its protected or inherited
// state, its attributes and its compression), through both open files,
// never by path. With `explicitOnly` (a new file in another folder), on
// Windows the model's effective access entries, written as its own and
// protected. An owner or (POSIX) group that this account may not give is
// left as it is: *ownerKept or *groupKept is then false, and a group not
// kept gets no permissions.
int32_t osAdoptPermissions(FILE* stream, FILE* model, bool explicitOnly, bool* ownerKept,
                           bool* groupKept);

// Makes what was written to `stream` durable: flushes the stream, then, for
// a regular file, the operating system's buffers (fsync, FlushFileBuffers).
// A pipe, terminal or device is only flushed.
int32_t osSyncFile(FILE* stream);

// Replaces the file at `at`'s name in one atomic step by the file open as
// `stream`, created as `sideName` in the same folder and synced, makes the
// change durable as far as the system allows (POSIX: renamed within the held
// folder, which is then synced; Windows: renamed through the open handle,
// which is then flushed), and closes the stream. The name is replaced,
// never followed: a link that stands there is replaced itself. When
// `expected` is given, the name must still hold that file, unchanged (the
// same identity, size and times), just before it is replaced, else
// ECANCELED. Once the step is done, nothing fails it any more. A target
// held open by another process is tried again for about a second, then
// EBUSY. On failure the target is unchanged, the side file removed and the
// stream closed.
int32_t osCommitFile(FILE* stream, const WalkedPath& at, const char* sideName,
                     const FileId* expected);

// Closes `stream`, open on `sideName` in `at`'s folder, and removes that
// file (through the open handle on Windows). 0, or the errno of the removal.
int32_t osDiscardFile(FILE* stream, const WalkedPath& at, const char* sideName);

// Makes an interruption (POSIX: SIGINT, SIGTERM, SIGHUP; Windows: Ctrl+C,
// Ctrl+Break, the console closed) remove the file open as `stream`, named
// `sideName` in `at`'s folder, before the process ends with 128 plus the
// signal's number (Windows: 128 plus 2 for Ctrl+C, 21 for Ctrl+Break, 1 for
// the console closed, as the POSIX signals of the same meaning). A null
// `stream` lets go of the file guarded before. One file at a time; the
// handler only makes calls that are safe in a signal handler.
void osGuardSideFile(FILE* stream, const WalkedPath* at, const char* sideName);

// Appends to `files` the regular files under `folder`, at any depth, whose
// names match the shell wildcard `pattern` (*, ? and [...], matched by the
// system: fnmatch on POSIX, FindFirstFileEx on Windows), in byte order of
// their paths. Links are not followed, folders behind them not entered. 0,
// or the error of the first folder that could not be read.
int32_t osFindFiles(const char* folder, const char* pattern, std::vector<std::string>* files);

#endif  // ORV_PLATFORM_FILES_H_
