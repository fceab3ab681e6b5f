// The file operations that are the same on every platform: the standard
// stream calls, each behind a fault seam.
#include <cerrno>
#include <cstdarg>

#include "platform/files.h"
#include "platform/files_internal.h"
#include "platform/seams.h"

namespace {

// Streams on which an injected read or write failure is pending. The
// standard library has no portable way to set a stream's error indicator, so
// the platform remembers them until the stream is closed.
constexpr int kMaxFailedStreams = 16;
FILE* failedStreams[kMaxFailedStreams] = {};

void markFailed(FILE* stream) {
  for (FILE*& slot : failedStreams) {
    if (slot == stream) return;
  }
  for (FILE*& slot : failedStreams) {
    if (slot == nullptr) {
      slot = stream;
      return;
    }
  }
}

bool takeFailed(FILE* stream) {
  for (FILE*& slot : failedStreams) {
    if (slot == stream) {
      slot = nullptr;
      return true;
    }
  }
  return false;
}

bool isMarked(FILE* stream) {
  for (FILE* slot : failedStreams) {
    if (slot == stream) return true;
  }
  return false;
}

// True when an injected fault must fail this call; errno is then set.
bool injected(FaultSite site) {
  int32_t error = 0;
  if (!seamFailsCall(site, -1, &error)) return false;
  errno = error != 0 ? error : EIO;
  return true;
}

}  // namespace

bool fileFaultInjected(FaultSite site) { return injected(site); }

size_t osReadFile(void* buffer, size_t size, size_t count, FILE* stream) {
  if (injected(kFaultRead)) {
    markFailed(stream);
    return 0;
  }
  return std::fread(buffer, size, count, stream);
}

int osPrintFile(FILE* stream, const char* format, ...) {
  if (injected(kFaultWrite)) {
    markFailed(stream);
    return -1;
  }
  va_list args;
  va_start(args, format);
  int written = std::vfprintf(stream, format, args);
  va_end(args);
  return written;
}

size_t osWriteFile(const void* buffer, size_t size, size_t count, FILE* stream) {
  if (injected(kFaultWrite)) {
    markFailed(stream);
    return 0;
  }
  return std::fwrite(buffer, size, count, stream);
}

bool osFileError(FILE* stream) { return isMarked(stream) || std::ferror(stream) != 0; }

int osCloseFile(FILE* stream) {
  if (stream == nullptr) return EOF;
  bool failedEarlier = takeFailed(stream);
  if (injected(kFaultClose)) {
    int saved = errno;
    std::fclose(stream);
    errno = saved;
    return EOF;
  }
  int rc = std::fclose(stream);
  seamStep("closed");
  if (failedEarlier && rc == 0) {
    errno = EIO;
    return EOF;
  }
  return rc;
}
