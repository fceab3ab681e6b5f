#ifndef ORV_PLATFORM_RUNTIME_H_
#define ORV_PLATFORM_RUNTIME_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The few runtime and operating-system calls that differ between Windows and
// the POSIX port. Everything above the platform layer uses these instead.

// Text of error number `errnum` into `buffer` (always NUL-terminated when
// size > 0). 0 on success, else non-zero (strerror_s on Windows, strerror_r
// on POSIX).
int32_t osStrerror(char* buffer, size_t size, int32_t errnum);

// Overwrites `size` bytes with zeros in a way the compiler cannot elide.
void osSecureWipe(void* data, size_t size);

int64_t osProcessId();

// Wall-clock time as "YYYY-MM-DDTHH:MM:SS.mmmZ" into a buffer of at least 25.
void osTimestamp(char* buffer, size_t size);

// Opens a UTF-8 path for binary append, as the trace file. The path is
// walked (platform/paths.h), so no link of another user leads it elsewhere;
// an existing file must belong to the caller or root (on Windows the
// current user, SYSTEM or Administrators), else EPERM: another user could
// read what is traced. A new file is created readable and writable by its
// owner alone; only a regular file is taken: a link, FIFO, device or folder
// is refused at once (ENODEV), never waited on. Null and errno on failure.
FILE* osOpenAppend(const char* path);

// Writes one line of UTF-8 text and a line end to `stream` and flushes it.
// A Windows console is given the text as UTF-16, so that names outside its
// code page show as they are; a pipe or file gets the UTF-8 bytes.
void osWriteLine(FILE* stream, const char* text);

// Whether standard input is a terminal (a console on Windows), where a
// person types.
bool osInputIsTerminal();

// Reads one line of standard input into `buffer` (`size` bytes): the bytes
// before its line feed, without a carriage return just before it, and a
// NUL after them; `*length` is their count. Taken straight from the system
// a byte at a time, so that no stream buffer keeps what comes after it.
// From a terminal, `prompt` is first shown on standard error and what is
// typed is not echoed (a Windows console's UTF-16 comes back as UTF-8).
// 0; ENODATA when the input ended before the line's first byte; E2BIG for
// a line that does not fit (read to its end, its bytes wiped); or the
// system's error.
int32_t osReadSecretLine(const char* prompt, char* buffer, size_t size, size_t* length);

// Makes the process fit to hold secrets, before it reads any: on POSIX it
// makes no core file and no other process of its user may read its memory
// (not dumpable, core size limit 0); on Windows DLLs are loaded from
// System32 alone, never from the program's folder or the current one.
// Called first by each command; a library leaves its host's settings alone.
void osHardenProcess();

#endif  // ORV_PLATFORM_RUNTIME_H_
