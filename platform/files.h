#ifndef ORV_PLATFORM_FILES_H_
#define ORV_PLATFORM_FILES_H_

#include <cstdint>
#include <cstdio>

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
// POSIX). Reading opens only a regular file (links followed) and never
// blocks: a folder fails with EISDIR, a device or pipe with ENODEV.
FILE* osOpenFile(const char* path, const char* mode);

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
// content; EACCES when others may read or change it (on POSIX any group or
// other permission bit, as ssh requires of private keys; on Windows any
// access list entry that lets anyone but those three read, write, append
// to or delete it or change its access list or owner, or no access list at
// all); another errno when its permissions cannot be read. Asked of the
// open file, so the file checked is the file read.
int32_t osCheckPrivate(FILE* file);

// What identifies a file while it exists: device and inode on POSIX; on
// Windows the volume serial number and the 128-bit file ID (all zero where
// the file system gives none, which then identifies nothing).
struct FileId {
  uint64_t words[3] = {};
  bool operator==(const FileId& other) const {
    return words[0] == other.words[0] && words[1] == other.words[1] &&
           words[2] == other.words[2];
  }
};

// The identity of the open file.
int32_t osIdentifyFile(FILE* stream, FileId* id);

// The identity of what `path` names now, a link itself rather than what it
// points to. *exists is false (and the result 0) when nothing has that name.
int32_t osIdentifyPath(const char* path, FileId* id, bool* exists);

// Opens for reading, as osOpenFile, a path whose links were followed
// already: a link that stands at its end by now is refused (ELOOP), never
// followed, so that the file read is the file that was resolved.
FILE* osOpenResolved(const char* path);

// Safe replacement of a file that holds secrets. Each returns 0 or an errno
// value (Windows errors are converted to the nearest errno). Paths are UTF-8
// on every platform.

// *same becomes true when both paths name one existing file (device and
// inode; on Windows the volume and 128-bit file ID, or, where the file system
// gives no ID, the final paths), whatever their texts. A path that names no
// file is no match; any other failure is returned, never taken as "different".
int32_t osSameFile(const char* first, const char* second, bool* same);

// Copies into `out` the path of the file that `path` names once symbolic
// links are followed (on POSIX only a path that is itself a link is
// rewritten; on Windows the final path of any existing file). A path that
// names no file yet is copied as it is. ENAMETOOLONG when the result does
// not fit `size`.
int32_t osResolveLinks(const char* path, char* out, size_t size);

// *count becomes the number of names (hard links) of the open file.
int32_t osLinkCount(FILE* stream, uint32_t* count);

// Whether another user could steer a privileged run through `path`: 0 when
// not; ELOOP when a symbolic link on the way lies in a sticky folder that
// everyone may write (such as /tmp) and the caller does not own it, whatever
// the system's own rule for such links (Windows has no such folders); EPERM
// when `mustBeOwned` and the file exists and belongs to another user than
// the caller or the administrators (root; SYSTEM or Administrators); another
// errno when that cannot be told. *where receives the link or file at fault
// (kConfigPathSize bytes).
int32_t osCheckNotSteered(const char* path, bool mustBeOwned, char* where, size_t size);

// What a path names, links followed.
enum class FileKind { kMissing, kRegular, kOther };

// *kind becomes what `path` names: nothing, a regular file, or anything else
// (a folder, device or pipe). 0, or the errno of a failed look-up other than
// "no such file".
int32_t osFileKind(const char* path, FileKind* kind);

// Creates `path` for writing in binary mode, exclusively (EEXIST when any
// file or link has that name: nothing is ever removed or overwritten),
// readable and writable by its owner only, not inherited by child processes;
// never created without that owner-only protection. On Windows the file is
// created encrypted when the file open as `model` (may be null) is. Null
// and errno on failure.
FILE* osCreatePrivateFile(const char* path, FILE* model);

// Gives the file open as `stream` the permissions and owner of the file open
// as `model` (on Windows its access list with its protected or inherited
// state, its attributes and its compression), through both open files,
// never by path. With `explicitOnly` (a new file in another folder), on
// Windows only the model's own access entries, protected. An owner that
// this account may not give is left as it is: *ownerKept is then false.
int32_t osAdoptPermissions(FILE* stream, FILE* model, bool explicitOnly, bool* ownerKept);

// Makes what was written to `stream` durable: flushes the stream, then, for
// a regular file, the operating system's buffers (fsync, FlushFileBuffers).
// A pipe, terminal or device is only flushed.
int32_t osSyncFile(FILE* stream);

// Replaces `target` in one atomic step by the file open as `stream`, created
// at `path` and synced, makes the change durable as far as the system allows
// (POSIX: rename, then the folder synced; Windows: renamed through the open
// handle, then that handle flushed), and closes the stream. The name is
// replaced, never followed: a link that stands there is replaced itself.
// When `expected` is given, `target` must still name that file just before
// it is replaced, else ECANCELED. Once the step is done, nothing fails it any
// more. A target held open by another process is tried again for about a
// second, then EBUSY. On failure `target` is unchanged, the file at `path`
// removed and the stream closed.
int32_t osCommitFile(FILE* stream, const char* path, const char* target, const FileId* expected);

// Closes `stream`, open on the file at `path`, and removes that file
// (through the open handle on Windows). 0, or the errno of the removal.
int32_t osDiscardFile(FILE* stream, const char* path);

#endif  // ORV_PLATFORM_FILES_H_
