#ifndef ORV_PLATFORM_FILES_H_
#define ORV_PLATFORM_FILES_H_

#include <cstdint>
#include <cstdio>

#include "platform/trace.h"

// Files. Every file operation of the program goes through these, so that
// tests can make any of them fail (platform/test_hooks.h). On failure each
// sets errno and returns what the standard function would.

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

#endif  // ORV_PLATFORM_FILES_H_
