// POSIX versions of the runtime and operating-system calls.
#include "platform/runtime.h"

#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <cstdio>

#include "platform/paths.h"

namespace {

// glibc gives the GNU strerror_r, which may return a static text instead of
// filling the buffer; the XSI variant fills it. Both overloads land here.
[[maybe_unused]] int32_t strerrorResult(int rc, char*, char*, size_t) { return rc; }
[[maybe_unused]] int32_t strerrorResult(const char* text, char* buffer, char*, size_t size) {
  if (text == nullptr) return EINVAL;
  if (text != buffer) {
    std::snprintf(buffer, size, "%s", text);
  }
  return 0;
}

}  // namespace

int32_t osStrerror(char* buffer, size_t size, int32_t errnum) {
  if (buffer == nullptr || size == 0) return EINVAL;
  buffer[0] = '\0';
  int32_t rc = strerrorResult(strerror_r(errnum, buffer, size), buffer, buffer, size);
  buffer[size - 1] = '\0';
  return rc;
}

void osSecureWipe(void* data, size_t size) {
  if (data != nullptr && size != 0) explicit_bzero(data, size);
}

int64_t osProcessId() { return static_cast<int64_t>(getpid()); }

void osTimestamp(char* buffer, size_t size) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm utc;
  gmtime_r(&now.tv_sec, &utc);
  std::snprintf(buffer, size, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<long>(now.tv_nsec / 1000000));
}

FILE* osOpenAppend(const char* path) {
  WalkedPath at;
  int32_t error = osWalkPath(path, nullptr, &at, nullptr, 0);
  if (error != 0) {
    // A link that is not followed is no trace file.
    errno = error == ELOOP || error == EISDIR ? ENODEV : error;
    return nullptr;
  }
  int fd = openat(static_cast<int>(at.folder), at.name,
                  O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                  S_IRUSR | S_IWUSR);
  if (fd < 0) {
    // A link (ELOOP) or a FIFO without a reader (ENXIO) is no trace file.
    if (errno == ELOOP || errno == ENXIO || errno == EISDIR) errno = ENODEV;
    return nullptr;
  }
  struct stat status;
  FILE* stream = nullptr;
  if (fstat(fd, &status) != 0) {
    // errno says why.
  } else if (!S_ISREG(status.st_mode)) {
    errno = ENODEV;
  } else if (status.st_uid != 0 && status.st_uid != geteuid()) {
    // Another user's file would let that user read the trace.
    errno = EPERM;
  } else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0) {
    stream = fdopen(fd, "ab");
  }
  if (stream == nullptr) {
    int saved = errno;
    close(fd);
    errno = saved;
  }
  return stream;
}

void osHardenProcess() {
#ifdef __linux__
  // Linux alone has the flag; elsewhere the core limit below must do.
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
  struct rlimit none = {0, 0};
  setrlimit(RLIMIT_CORE, &none);
}

void osWriteLine(FILE* stream, const char* text) {
  std::fprintf(stream, "%s\n", text);
  std::fflush(stream);
}

bool osInputIsTerminal() { return isatty(STDIN_FILENO) == 1; }

int32_t osReadSecretLine(const char* prompt, char* buffer, size_t size, size_t* length) {
  *length = 0;
  termios saved = {};
  bool silenced = false;
  if (osInputIsTerminal()) {
    // Echo goes off before the prompt shows, so nothing typed after it is echoed.
    if (tcgetattr(STDIN_FILENO, &saved) == 0) {
      termios silent = saved;
      silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      silent.c_lflag |= ECHONL;
      silenced = tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent) == 0;
    }
    std::fputs(prompt, stderr);
    std::fflush(stderr);
  }
  int32_t error = 0;
  size_t count = 0;
  bool any = false;  // a byte was read, a line feed included
  for (;;) {
    char c = 0;
    ssize_t got = read(STDIN_FILENO, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error = errno;
    if (got <= 0) break;
    any = true;
    if (c == '\n') break;
    if (count + 1 < size) {
      buffer[count++] = c;
    } else {
      error = E2BIG;
    }
  }
  if (silenced) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  if (error == 0 && !any) error = ENODATA;
  if (count > 0 && buffer[count - 1] == '\r') --count;
  if (error != 0) {
    osSecureWipe(buffer, size);
    return error;
  }
  buffer[count] = '\0';
  *length = count;
  return 0;
}
