#ifndef ORV_PLATFORM_KEY_FILE_H_
#define ORV_PLATFORM_KEY_FILE_H_

#include <cstddef>
#include <cstdint>

#include "platform/paths.h"

// Initial key files: the one place that reaches, checks and reads one, for
// both commands and the library. The path is walked (platform/paths.h), the
// file at its end opened, checked on the open file (osCheckPrivateIn), read
// and trimmed: what is checked is what is read.

// What a key file read met besides its result.
struct KeyFileRead {
  int32_t error = 0;                 // why it could not be reached, opened or read (errno)
  char refusedLink[kPathSize] = {};  // the link not followed, when error is ELOOP
};

// Reads the key file `path` (from `base`'s folder when relative and `base`
// is given, else from the current folder) into `content` (`capacity`
// bytes, which must exceed the largest key file, kPbeMaxInitialKeyFileBytes):
// its bytes less one trailing line feed or carriage return and line feed.
// A file that others may read or change is refused unread
// (kPbeKeyFileExposed), and so is one that another user owns
// (kPbeKeyFileForeign). 0 with *length set; kPbeKeyFileUnreadable
// (read->error says why: ELOOP for a link refused, EISDIR or ENODEV for no
// regular file, ENOENT, ...), kPbeKeyFileEmpty, kPbeKeyFileTooLarge. The
// content is wiped on failure.
int32_t readKeyFile(const char* path, const WalkedPath* base, unsigned char* content,
                    size_t capacity, size_t* length, KeyFileRead* read);

#endif  // ORV_PLATFORM_KEY_FILE_H_
