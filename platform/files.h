#ifndef ORV_PLATFORM_FILES_H_
#define ORV_PLATFORM_FILES_H_

#include <cstdint>
#include <cstdio>

#include "platform/trace.h"

// Files. Every file operation of the program goes through these, so that
// tests can make any of them fail (platform/test_hooks.h). On failure each
// sets errno and returns what the standard function would.

// The character that separates the folders of a path (the one real
// difference of path syntax between the platforms).
#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

// fopen with the modes "rN" (read) and "wN" (write, create or truncate): text
// mode, handle not inherited by child processes (close-on-exec on POSIX).
FILE* osOpenFile(const char* path, const char* mode);

// fread.
size_t osReadFile(void* buffer, size_t size, size_t count, FILE* stream);

// fseek with a 64-bit offset (fseeko on POSIX, _fseeki64 on Windows). 0 or -1.
int osSeekFile(FILE* stream, int64_t offset, int origin);

// ftell with a 64-bit result (ftello on POSIX, _ftelli64 on Windows); -1 on
// failure. Seeks and tells count as reads for fault injection.
int64_t osTellFile(FILE* stream);

// fgets.
char* osReadLine(char* buffer, int size, FILE* stream);

// fprintf. A failed write marks the stream, so osFileError reports it.
int osPrintFile(FILE* stream, const char* format, ...) ORV_PRINTF_FORMAT(2, 3);

// fwrite. Like osPrintFile a write fault point; a failed write marks the
// stream, so osFileError reports it.
size_t osWriteFile(const void* buffer, size_t size, size_t count, FILE* stream);

// ferror, or a failure injected into a write of this stream.
bool osFileError(FILE* stream);

// fflush.
int osFlushFile(FILE* stream);

// fclose; EOF when the close or an earlier write failed.
int osCloseFile(FILE* stream);

// DeleteFileA on Windows, unlink on POSIX. 0 or -1.
int32_t osDeleteFile(const char* path);

// rename. 0 or -1.
int32_t osRenameFile(const char* from, const char* to);

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

// Creates `path` afresh for writing in text mode, readable and writable by
// its owner only, not inherited by child processes. An existing file or link
// of that name is removed first, without following a link. Null and errno on
// failure.
FILE* osCreatePrivateFile(const char* path);

// Creates `path` for writing in binary mode only when nothing of that name
// exists: an existing file or link is never replaced or followed. Readable
// and writable by its owner only (mode 0600; on Windows a protected access
// list for the current user alone, and no file when that list cannot be
// built), not inherited by child processes. Null and errno on failure
// (EEXIST when the name is taken).
FILE* osCreateNewPrivateFile(const char* path);

// Makes what was written to `stream` durable: flushes the stream, then the
// operating system's buffers (fsync, FlushFileBuffers).
int32_t osSyncFile(FILE* stream);

// Replaces `target` with `replacement` in one atomic step, after giving the
// replacement the target's permissions and owner (on Windows its security
// and attributes), and makes the change durable as far as the folder can be
// synced (once the step is done, a failed folder sync no longer fails it).
// On failure `target` is unchanged and `replacement` is still there.
int32_t osReplaceFile(const char* replacement, const char* target);

#endif  // ORV_PLATFORM_FILES_H_
