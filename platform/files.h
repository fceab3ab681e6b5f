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

// DeleteFileA on Windows, unlink on POSIX. 0 or -1.
int32_t osDeleteFile(const char* path);

// Whether the open file is kept from other users: 0; EACCES when others
// than its owner may read it (on POSIX any group or other permission bit,
// as ssh requires of private keys; on Windows an access list entry that
// lets Everyone, Users, Authenticated Users, Guests or Anonymous read it,
// or no access list at all); another errno when its permissions cannot be
// read. Asked of the open file, so the file checked is the file read.
int32_t osCheckPrivate(FILE* file);

// Safe replacement of a file that holds secrets. Each returns 0 or an errno
// value (Windows errors are converted to the nearest errno).

// *same becomes true when both paths name one existing file (device and
// inode; volume serial number and file index on Windows), whatever their
// texts. A path that names no file is no match.
int32_t osSameFile(const char* first, const char* second, bool* same);

// Copies into `out` the path that `path` names once symbolic links are
// followed; a path that is no link, or names no file yet, is copied as it is.
// ENAMETOOLONG when the result does not fit `size`.
int32_t osResolveLinks(const char* path, char* out, size_t size);

// What a path names, links followed.
enum class FileKind { kMissing, kRegular, kOther };

// *kind becomes what `path` names: nothing, a regular file, or anything else
// (a folder, device or pipe). 0, or the errno of a failed look-up other than
// "no such file".
int32_t osFileKind(const char* path, FileKind* kind);

// Creates `path` for writing in binary mode, exclusively (EEXIST when any
// file or link has that name: nothing is ever removed or overwritten),
// readable and writable by its owner only, not inherited by child processes.
// Null and errno on failure.
FILE* osCreatePrivateFile(const char* path);

// Gives the file open as `stream` the permissions and owner of `modelPath`
// (on Windows its access list and attributes), through the open file, never
// by path. An owner that only the superuser could give is left as it is.
int32_t osAdoptPermissions(FILE* stream, const char* modelPath);

// Makes what was written to `stream` durable: flushes the stream, then, for
// a regular file, the operating system's buffers (fsync, FlushFileBuffers).
// A pipe, terminal or device is only flushed.
int32_t osSyncFile(FILE* stream);

// Replaces `target` with `replacement` in one atomic step and makes the
// change durable as far as the folder can be synced (once the step is done,
// a failed folder sync no longer fails it). On failure `target` is unchanged
// and `replacement` is still there.
int32_t osReplaceFile(const char* replacement, const char* target);

#endif  // ORV_PLATFORM_FILES_H_
