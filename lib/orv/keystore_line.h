#ifndef ORV_LIB_ORV_KEYSTORE_LINE_H_
#define ORV_LIB_ORV_KEYSTORE_LINE_H_

#include <cstddef>
#include <cstdint>

#include "platform/results.h"

// What a line of keystore.conf is. Every reader and writer of a keystore
// asks this file: orvseal's rewriter, orvcred's check and rekey, the
// configuration reader and the orvcred library; none of them reads a line
// by a rule of its own.
//
// A line is read two ways. As a credential line (orvseal's view): the key is
// the line's first word, ended by whitespace or '='; a key that begins with
// a credential key of the table below is a credential line, one that begins
// with a flag key (or is the channel flag key) a flag line. As a
// configuration entry (the configuration reader's view): key = value, the
// key all of the text before the first '=', trimmed. Both views agree on
// every credential line that orvseal accepts.

// The six whitespace characters: space, tab, line feed, vertical tab, form
// feed and carriage return. No byte of 0x80 or above is one, whatever the
// locale.
inline bool isConfigWhitespace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Where a value ends: `value` points at its first non-blank character and
// `end` at the end of its line. A comment begins at a '#' that follows a
// blank inside the value; a '#' inside a word, or as the value's first
// character, belongs to the value. Trailing blanks are not part of it.
// Returns the end of the value (== value when the value is empty).
const char* configValueEnd(const char* value, const char* end);

// The entry that names a keystore's initial key file: the parameter
// `keyfile` of the stanza `orvcred`. A line whose first word is this key
// must read as this entry in the configuration reader's view too, or no
// reader takes the file: the two views can never name two key files.
constexpr const char* kKeyFileEntry = "orvcred.keyfile";
constexpr const char* kKeyFileStanza = "orvcred";
constexpr const char* kKeyFileParam = "keyfile";

// The marker that begins every protected value.
constexpr const char* kProtectedMarker = "<ORV>";

// A protected text: the marker first and at least three '!' anywhere in it.
bool isProtectedText(const char* text, size_t length);

// The algorithm digit that follows the marker of a protected text: 1, 2, or
// 0 for neither (no text any key reads).
int32_t protectedTextAlgorithm(const char* text, size_t length);

// Whether the `length` bytes of `key` begin with a credential key
// (crl.ldap.pass, pem.password, pkcs11.token_pin; case counts).
bool isCredentialKey(const char* key, size_t length);

// The UTF-8 byte order mark that Windows editors write at the start of a
// file. It belongs to no key; writers keep it byte for byte.
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
constexpr size_t kByteOrderMarkLength = 3;

// Why a file is not text of the form keystore.conf must have.
enum class TextProblem {
  kNone,
  kNulByte,                // a NUL byte: binary data
  kLoneCarriageReturn,     // a carriage return not followed by a line feed
  kUtf16,                  // saved as UTF-16
  kMisplacedByteOrderMark  // a byte order mark that begins a line other than the first
};

struct TextCheck {
  TextProblem problem = TextProblem::kNone;
  int64_t line = 0;  // 1-based line of the problem
};

// Checks the whole text of a keystore file. Every reader refuses a text with
// a problem, so that none of them reads it otherwise than the others.
TextCheck checkKeystoreText(const char* text, size_t length);

// A stretch of a line, by offset from KeystoreLine::text.
struct LineSpan {
  size_t begin = 0;
  size_t length = 0;
};

enum class LineKind {
  kOther,       // passed through byte for byte
  kFlag,        // a flag line with a value: "YES" (any case) stays, any other value is dropped
  kCredential,  // a credential line with a value, or with words between its key and '='
  kKeyFile,     // a line whose first word is kKeyFileEntry
};

// How the configuration reader takes a line.
enum class EntryKind {
  kNone,        // blank, or a comment ('#' first)
  kEntry,       // key = value, the value non-empty
  kUnreadable,  // no '=', an empty value, or a key longer than kConfigKeyMaxLength
};

// The longest key a configuration entry may have; a longer one is refused
// rather than cut, so that two keys can never be taken for one.
constexpr size_t kConfigKeyMaxLength = 255;

// One line of a keystore text, classified.
struct KeystoreLine {
  const char* text = nullptr;  // the line without its line end (and without the file's mark)
  size_t length = 0;
  // The line end a writer gives the line: its own ("\r\n" or "\n"); for a
  // last line without one, that of the line before it, or the platform's
  // when it is the only line.
  const char* ending = "\n";
  bool hasEnding = false;  // the line ended with a line feed in the text
  int64_t number = 0;      // 1-based

  LineKind kind = LineKind::kOther;
  LineSpan key;    // the first word
  LineSpan value;  // kFlag: the first word after '='; kCredential: all of it up to a comment
  bool flagSaysYes = false;        // kFlag
  bool protectedValue = false;     // kCredential: the value is a protected text
  // kCredential, kKeyFile: words between the key and '=', so which word is
  // the key and which the value cannot be told.
  bool wordsBeforeEquals = false;
  // kCredential: the line of the flag line that says YES for its row and is
  // still in force (such a credential is left as it is), 0 for none.
  int64_t heldBackBy = 0;
  // kCredential: the key of the flag line written before its protected form.
  const char* flagKey = nullptr;

  EntryKind entry = EntryKind::kNone;
  LineSpan entryKey;    // kEntry, kUnreadable with '=': trimmed
  LineSpan entryValue;  // kEntry: cut where a comment begins, trimmed
};

// Whether the line's first word is exactly `key`.
bool lineKeyIs(const KeystoreLine& line, const char* key);

// The lines of a keystore text in order, each classified. Flag lines are
// remembered from line to line, row by row, so a flag line acts on the
// credential lines after it.
class KeystoreLines {
 public:
  // `text` holds `length` bytes; a byte order mark at its start is no part
  // of the first line (see byteOrderMark).
  KeystoreLines(const char* text, size_t length);

  // The file's byte order mark: kByteOrderMarkLength or 0.
  size_t byteOrderMark() const { return mark_; }

  // The next line, or false at the end of the text.
  bool next(KeystoreLine* line);

 private:
  static constexpr int kRows = 3;
  const char* text_;
  size_t length_;
  size_t mark_;
  size_t start_;
  int64_t number_ = 0;
  const char* previousEnding_ = nullptr;
  int64_t yesFlagLine_[kRows] = {};  // per row: the line of a YES flag in force, or 0
};

// What takes a line's place in a protected keystore.
enum class LineAction {
  kKeep,           // the line as it is
  kDrop,           // a flag line that says "not protected": the protected line brings its own
  kProtect,        // a plaintext credential: its flag line and its protected form
  kKeepProtected,  // a credential protected already
  kKeepHeldBack,   // a plaintext credential behind a flag line that says YES: left as it is
  kRefuse,         // words between a credential's or the key file's key and '=': the
                   // file is refused
  kRefuseKeyFile,  // a key file line without '=' or without a value: the file is refused
};
LineAction lineAction(const KeystoreLine& line);

// Whether orvseal's rewrite changes the file at this line: a value to
// protect, a flag line to drop, or a last line that gets its line end.
bool rewriteChanges(const KeystoreLine& line);

// Why no reader may take a keystore text: kKeystoreNotText (`text` says
// why), kKeystoreUnclearLine or kConfigCannotParse (the orvcred.keyfile
// line cannot be read; `unclear` is the first such line), or 0
// (platform/results.h).
int32_t keystoreFault(const char* text, size_t length, TextCheck* check, KeystoreLine* unclear);

// Writes, through `write`, the two lines that take the place of a
// credential line: its flag line ("<flagKey> = YES"), then its key,
// " = ", the protected text and whatever comment followed the value, each
// ended as the credential line is. The protected text is written as
// exactly `length` characters: up to its first NUL, padded with spaces.
using WriteBytes = void (*)(void* sink, const char* bytes, size_t length);
void writeProtectedLine(const KeystoreLine& line, const char* protectedText, size_t length,
                        WriteBytes write, void* sink);

// Writes the first of those two lines alone: "<flagKey> = YES" and the
// credential line's line end.
void writeFlagLine(const KeystoreLine& line, WriteBytes write, void* sink);

#endif  // ORV_LIB_ORV_KEYSTORE_LINE_H_
