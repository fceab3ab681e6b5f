#ifndef ORV_LIB_ORV_PARAM_LOOKUP_H_
#define ORV_LIB_ORV_PARAM_LOOKUP_H_

#include <cstdint>

#include "lib/orv/config_access.h"
#include "lib/orv/keystore_line.h"
#include "lib/orv/list.h"

// Stanzas of a keystore configuration file: the text of a key before its
// first '.' names its stanza, the rest a parameter of it (orvcred.keyfile is
// the parameter keyfile of the stanza orvcred). Result codes are those of
// lib/orv/config_access.h.

// Trace function numbers.
constexpr int32_t kFnGetStanzaParam = 154;
constexpr int32_t kFnLoadStanza = 157;
constexpr int32_t kFnGetKeyFileParam = 368;

// Stanza names have at most this many characters.
constexpr size_t kStanzaNameMaxLength = 31;

// getKeyFileParam's nameOut holds at least kKeyFileEntry and its NUL
// (lib/orv/keystore_line.h names the stanza and parameter).
constexpr size_t kKeyFileNameSize = 16;

// Drops from list (ConfigEntry elements) every entry whose key is not in
// stanza, releasing it, and takes "stanza." off the keys that remain, in
// place. A null list or stanza is left alone.
void filterStanza(List* list, const char* stanza);

// What loadStanza learnt of the text besides its result.
struct StanzaReport {
  int64_t failedLine = 0;    // the first line that cannot be read, 0 if none
  int64_t watchedLines = 0;  // lines whose key is the watched key, readable or not
};

// Loads the entries of one stanza from a keystore text of `length` bytes
// (read whole by the caller) into a new list stored in *listOut, which must
// be null on entry. kConfigOk comes with a list of at least one entry, owned
// by the caller (destroyConfigList); every other result leaves *listOut
// null: kConfigBadArguments (stanza null, empty or longer than
// kStanzaNameMaxLength), kConfigCannotParse, kConfigNoMemory,
// kConfigNoStanza. `report` (may be null) counts the lines whose key is
// `watchedKey` (may be null). With `keepReadable`, a line that cannot be
// read no longer ends the load: the stanza's readable entries are kept, and
// report->failedLine names the first line that could not be read. Shows no
// message: the caller reports.
int32_t loadStanza(const char* text, size_t length, List** listOut, const char* stanza,
                   const char* watchedKey = nullptr, StanzaReport* report = nullptr,
                   bool keepReadable = false);

// Copies the value of the single entry called name into dst like strncpy
// with the limit len (dst must hold len + 1 bytes, the last one the
// caller's zero). kConfigOk; kConfigParamAbsent when there is none and
// allowMissing is non-zero; kConfigParamNotUnique when there is more than
// one, or none and allowMissing is 0; kConfigBadArguments for a null list,
// name or dst, an empty name or len <= 0. dst is changed only on kConfigOk.
int32_t getStanzaParam(List* list, const char* name, char* dst, int32_t len, int32_t allowMissing);

// Releases every entry, every node and the list itself; null is ignored.
void destroyConfigList(List* list);

// What getKeyFileParam learnt of the text besides its result.
struct KeyFileLookup {
  bool keyFileNamed = false;  // some line sets orvcred.keyfile, readable or not
  int64_t failedLine = 0;     // the first line that cannot be read, 0 if none
  // The key file was found although failedLine cannot be read: that line
  // holds nothing that any reader takes, and the caller may say so.
  bool failedLineSkipped = false;
};

// The orvcred.keyfile parameter of a keystore text into dst
// (kConfigPathSize bytes, zero-filled), at most 260 characters. kConfigOk
// also when the parameter is absent (dst unchanged); kConfigPathTooLong for
// a longer value, which is never cut; otherwise the code of loadStanza or
// getStanzaParam, dst unchanged. A line that cannot be read elsewhere in a
// text that names its key file in one readable line does not stop the
// lookup (lookup->failedLineSkipped); in a text that names none, the
// result is kConfigCannotParse, as loadStanza's. nameOut (kKeyFileNameSize bytes, or null)
// receives "orvcred", or "orvcred.keyfile" when the parameter itself was at
// fault. `lookup` (may be null) tells whether the text names a key file at
// all, so that a caller can tell a file that names none from one whose
// entry cannot be used.
int32_t getKeyFileParam(char* dst, const char* text, size_t length, char* nameOut,
                        KeyFileLookup* lookup = nullptr);

#endif  // ORV_LIB_ORV_PARAM_LOOKUP_H_
