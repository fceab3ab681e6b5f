#ifndef ORV_LIB_ORV_CONFIG_ACCESS_H_
#define ORV_LIB_ORV_CONFIG_ACCESS_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "lib/orv/list.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/results.h"

// Locating, reading and parsing a keystore configuration file.

// Statuses of the configuration routines (config_access, param_lookup) that
// their callers act on; every other code they return is a result of
// platform/results.h (kConfigCannotParse, kConfigCannotRead, kConfigNoPath,
// kConfigParamNotUnique, kConfigPathTooLong, kConfigBadEnvironment,
// kConfigNoMemory).
constexpr int32_t kConfigOk = 0;
constexpr int32_t kConfigParamAbsent = 1;    // absent, and its absence allowed
constexpr int32_t kConfigBadArguments = 2;
constexpr int32_t kConfigNoStanza = 7;       // no entry of the stanza

// Path buffers: room for 260 characters (osPathLength) and a terminating NUL.
constexpr size_t kConfigPathSize = kPathSize;
constexpr size_t kConfigPathMaxLength = kPathMaxCharacters;

// Appends text to the NUL-terminated path in dst (kConfigPathSize bytes).
// False, with dst unchanged, when the result would not fit 260 characters.
bool appendToPath(char* dst, const char* text);

// Trace function numbers.
constexpr int32_t kFnFindConfigFilePath = 162;
constexpr int32_t kFnReadConfigFile = 163;
constexpr int32_t kFnParseConfigText = 164;

// What the parse trace shows in place of a credential's value.
constexpr const char* kConfigMaskedValue = "********";

// One key = value line of a configuration file. Both strings come from
// svcGetMem; the record too, once it is an element of a List.
struct ConfigEntry {
  char* key;    // trimmed; may be empty
  char* value;  // trimmed and cut where a comment begins; never empty
};

// Writes the path of a configuration file into dst (kConfigPathSize bytes):
// the value of the environment variable envName when it is set (the whole
// path, fileName unused), else the user's home directory, the per-user
// directory ".vkt" and fileName. kConfigOk; kConfigNoPath when the home
// directory is unknown, kConfigPathTooLong when the path would not fit 260
// characters (never cut), kConfigBadEnvironment when a variable it would
// read holds no valid text; dst is then untouched.
int32_t findConfigFilePath(char* dst, const char* envName, const char* fileName);

// A keystore file as a run reads it: its path walked (platform/paths.h), the
// file at its end opened and held, identified, and read whole. Every reader
// of a keystore (both commands and the library) reaches it this way.
struct KeystoreFile {
  KeystoreFile() = default;
  ~KeystoreFile();  // the text wiped and released, the file closed
  KeystoreFile(const KeystoreFile&) = delete;
  KeystoreFile& operator=(const KeystoreFile&) = delete;

  WalkedPath where;      // the folder that holds it, held, and its name there
  FILE* file = nullptr;  // the file read, open until it is replaced
  FileId id;             // what identifies it, taken from the open file
  char* text = nullptr;  // its whole text and a NUL (svcGetMem)
  size_t length = 0;
  char refusedLink[kConfigPathSize] = {};  // the link not followed, for ELOOP
};

// Reads the keystore file at `path` into `keystore` (new). kConfigOk, or
// kConfigCannotRead with *errorOut the reason: ELOOP (a link that another
// user owns, or too many: refusedLink names it), ENAMETOOLONG, EISDIR or
// ENODEV (no regular file), EFBIG, ENOMEM, 0 for an empty file, or the
// errno of the step that failed.
int32_t readKeystoreFile(const char* path, KeystoreFile* keystore, int32_t* errorOut);

// Reads the whole file at path, byte for byte, into a new NUL-terminated
// buffer of its size plus one byte, stored in *bufferOut (null on entry) as
// soon as it is allocated: the caller releases it with svcFreeMem whenever
// it is non-null, whatever the result. *errorOut receives the errno of a
// failing step, 0 when there is none. *sizeOut (when given) receives the
// number of bytes read. kConfigOk, or kConfigCannotRead: the file cannot be
// reached (readKeystoreFile), opened, sought, read or closed, is no regular
// file (EISDIR, ENODEV), is empty (error 0), is larger than a signed 32-bit
// count allows (EFBIG), or no buffer could be had (ENOMEM).
int32_t readConfigFile(const char* path, char** bufferOut, int32_t* errorOut,
                       size_t* sizeOut = nullptr);

// readConfigFile of a file open for reading in binary mode, left open.
int32_t readConfigStream(FILE* stream, char** bufferOut, int32_t* errorOut, size_t* sizeOut);

// Appends one ConfigEntry per key = value line of text (NUL-terminated) to
// list (empty, from createList), in file order, as a keystore line's entry
// view reads it (lib/orv/keystore_line.h); a byte order mark at the start
// of the text is skipped. kConfigOk when no line was rejected and at least
// one entry was appended; kConfigCannotParse for a line that cannot be read
// (no '=', an empty value, a key longer than kConfigKeyMaxLength) or no
// entry at all; kConfigNoMemory when an entry could not be stored (a failure
// record is written). Every entry that can be read is appended, also after
// a line that cannot; on failure the caller decides whether to keep them or
// destroy the list. The text is left as it was.
int32_t parseConfigText(char* text, List* list);

// What parseConfigLines tells besides its result.
struct ConfigParseReport {
  int64_t failedLine = 0;    // the first line that cannot be read, 0 if none
  int64_t entryLines = 0;    // lines that hold an entry, kept or not
  int64_t watchedLines = 0;  // lines whose key (either view) is `watchedKey`, readable or not
};

// parseConfigText over `length` bytes that appends only the entries whose
// key `keep` accepts (all when keep is null), so that a lookup holds no
// entry of other keys. Every entry read is traced (a credential's value
// masked). `report` (may be null) counts the lines whose key, in either
// view of a line, is `watchedKey` (may be null).
int32_t parseConfigLines(const char* text, size_t length, List* list,
                         bool (*keep)(const char* key, size_t length, const void* arg),
                         const void* arg, const char* watchedKey, ConfigParseReport* report);

// 1 when the entry's key equals name byte for byte, else 0. The predicate
// for a List's countMatchingWithKey and findFirstWithKey, name as the arg.
int32_t configKeyEquals(const void* entry, const void* name);

// Releases the entry's key and value (a null entry is ignored) and sets
// them to null; the record itself stays. The visitor for removeAll.
void freeConfigEntry(void* entry);

// Releases the entry's strings and the record itself.
void releaseConfigEntry(ConfigEntry* entry);

#endif  // ORV_LIB_ORV_CONFIG_ACCESS_H_
