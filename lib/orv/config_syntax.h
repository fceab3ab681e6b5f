#ifndef ORV_LIB_ORV_CONFIG_SYNTAX_H_
#define ORV_LIB_ORV_CONFIG_SYNTAX_H_

#include <cstddef>
#include <cstdint>

// The lexical rules of keystore.conf that its reader (config_access) and the
// credential line rewriter share, so that both read a line alike.

// The six whitespace characters: space, tab, line feed, vertical tab, form
// feed and carriage return. No byte of 0x80 or above is one, whatever the
// locale.
inline bool isConfigWhitespace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
static_assert('\t' + 1 == '\n' && '\n' + 1 == '\v' && '\v' + 1 == '\f' && '\f' + 1 == '\r',
              "the control whitespace characters are consecutive");

// The UTF-8 byte order mark that Windows editors write at the start of a
// file. It belongs to no key; the rewriter keeps it byte for byte.
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
constexpr size_t kByteOrderMarkLength = 3;

// The length of the byte order mark at the start of `text` (of `length`
// bytes): kByteOrderMarkLength or 0.
size_t byteOrderMarkLength(const char* text, size_t length);

// Where a value ends: `value` points at its first non-blank character and
// `end` at the end of its line. A comment begins at a '#' that follows a
// blank inside the value; a '#' inside a word, or as the value's first
// character, belongs to the value. Trailing blanks are not part of it.
// Returns the end of the value (== value when the value is empty).
const char* configValueEnd(const char* value, const char* end);

// Why a file is not text of the form keystore.conf must have.
enum class TextProblem {
  kNone,
  kNulByte,             // a NUL byte: binary data
  kLoneCarriageReturn,  // a carriage return not followed by a line feed
  kUtf16,               // saved as UTF-16
};

struct TextCheck {
  TextProblem problem = TextProblem::kNone;
  int64_t line = 0;  // 1-based line of the problem within the bytes checked
};

// Checks `length` bytes of a keystore file. `atFileStart` says whether they
// begin the file, where a UTF-16 file shows itself (its byte order mark, or a
// NUL in one of the first two bytes).
TextCheck checkConfigText(const char* data, size_t length, bool atFileStart);

// The message that reports a problem found by checkConfigText (numeric
// insert 1: the line, text insert 1: the file).
uint32_t textProblemMessage(TextProblem problem);

#endif  // ORV_LIB_ORV_CONFIG_SYNTAX_H_
