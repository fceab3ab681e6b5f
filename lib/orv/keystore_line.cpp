#include "lib/orv/keystore_line.h"

#include <cstring>
#include <iterator>

#include "platform/files.h"

namespace {

// One row of the credential table: a credential key and the flag key that
// says whether its credentials are protected. Keys match as case-sensitive
// prefixes of a line's key; no key of the table is a prefix of another.
struct CredentialRow {
  const char* credentialKey;
  const char* flagKey;
};

constexpr CredentialRow kCredentialTable[] = {
    {"crl.ldap.pass", "crl.encrypted"},
    {"pem.password", "pem.encrypted"},
    {"pkcs11.token_pin", "pkcs11.encrypted"},
};

// A channel password's flag line is always this key. It begins with the
// credential key pem.password, yet is a flag line, so that a second run
// reads back what the first wrote.
constexpr const char* kChannelPrefix = "pem.password.channel";
constexpr const char* kChannelFlagKey = "pem.password.channel.encrypted";
constexpr int kSeparatorsRequired = 3;

bool spanStartsWith(const char* text, const LineSpan& span, const char* prefix) {
  size_t length = std::strlen(prefix);
  return span.length >= length && std::memcmp(text + span.begin, prefix, length) == 0;
}

bool spanEquals(const char* text, const LineSpan& span, const char* word) {
  return span.length == std::strlen(word) && std::memcmp(text + span.begin, word, span.length) == 0;
}

// "YES" in any case.
bool isYes(const char* text, const LineSpan& value) {
  if (value.length != 3) return false;
  for (size_t i = 0; i < 3; ++i) {
    char c = text[value.begin + i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != "YES"[i]) return false;
  }
  return true;
}

size_t skipBlanks(const char* text, size_t cursor, size_t length) {
  while (cursor < length && isConfigWhitespace(text[cursor])) ++cursor;
  return cursor;
}

// The first word: from the first non-blank character up to whitespace or '='.
LineSpan firstWord(const char* text, size_t length) {
  size_t cursor = skipBlanks(text, 0, length);
  LineSpan key{cursor, 0};
  while (cursor < length && !isConfigWhitespace(text[cursor]) && text[cursor] != '=') ++cursor;
  key.length = cursor - key.begin;
  return key;
}

// A flag line's value: the first word after the first '=' behind the key.
LineSpan flagValue(const char* text, size_t length, const LineSpan& key) {
  const void* equals = std::memchr(text + key.begin + key.length, '=',
                                   length - key.begin - key.length);
  if (equals == nullptr) return LineSpan{length, 0};
  size_t cursor = skipBlanks(text, static_cast<size_t>(static_cast<const char*>(equals) - text) + 1,
                             length);
  LineSpan value{cursor, 0};
  while (cursor < length && !isConfigWhitespace(text[cursor])) ++cursor;
  value.length = cursor - value.begin;
  return value;
}

// The configuration reader's view of a line: key = value.
void classifyEntry(KeystoreLine* line) {
  const char* text = line->text;
  size_t length = line->length;
  size_t first = skipBlanks(text, 0, length);
  if (first == length || text[first] == '#') return;
  line->entry = EntryKind::kUnreadable;
  const void* equals = std::memchr(text + first, '=', length - first);
  if (equals == nullptr) return;
  size_t equalsAt = static_cast<size_t>(static_cast<const char*>(equals) - text);
  size_t keyEnd = equalsAt;
  while (keyEnd > first && isConfigWhitespace(text[keyEnd - 1])) --keyEnd;
  line->entryKey = LineSpan{first, keyEnd - first};
  size_t valueBegin = skipBlanks(text, equalsAt + 1, length);
  const char* valueEnd = configValueEnd(text + valueBegin, text + length);
  line->entryValue = LineSpan{valueBegin, static_cast<size_t>(valueEnd - (text + valueBegin))};
  if (line->entryValue.length > 0 && line->entryKey.length <= kConfigKeyMaxLength) {
    line->entry = EntryKind::kEntry;
  }
}

}  // namespace

const char* configValueEnd(const char* value, const char* end) {
  const char* cursor = value;
  for (; cursor < end; ++cursor) {
    if (*cursor == '#' && cursor > value && isConfigWhitespace(cursor[-1])) break;
  }
  while (cursor > value && isConfigWhitespace(cursor[-1])) --cursor;
  return cursor;
}

bool isProtectedText(const char* text, size_t length) {
  size_t markerLength = std::strlen(kProtectedMarker);
  if (length < markerLength || std::memcmp(text, kProtectedMarker, markerLength) != 0) return false;
  int separators = 0;
  for (size_t i = 0; i < length; ++i) separators += text[i] == '!';
  return separators >= kSeparatorsRequired;
}

int32_t protectedTextAlgorithm(const char* text, size_t length) {
  size_t markerLength = std::strlen(kProtectedMarker);
  if (length <= markerLength || std::memcmp(text, kProtectedMarker, markerLength) != 0) return 0;
  char digit = text[markerLength];
  return digit == '1' ? 1 : digit == '2' ? 2 : 0;
}

bool isCredentialKey(const char* key, size_t length) {
  for (const CredentialRow& row : kCredentialTable) {
    if (spanStartsWith(key, LineSpan{0, length}, row.credentialKey)) return true;
  }
  return false;
}

TextCheck checkKeystoreText(const char* text, size_t length) {
  TextCheck check;
  if (length >= 2) {
    const unsigned char first = static_cast<unsigned char>(text[0]);
    const unsigned char second = static_cast<unsigned char>(text[1]);
    if ((first == 0xFF && second == 0xFE) || (first == 0xFE && second == 0xFF) || first == 0 ||
        second == 0) {
      check.problem = TextProblem::kUtf16;
      check.line = 1;
      return check;
    }
  }
  // A mark behind the file's own begins its first line.
  size_t start = length >= kByteOrderMarkLength &&
                         std::memcmp(text, kByteOrderMark, kByteOrderMarkLength) == 0
                     ? kByteOrderMarkLength
                     : 0;
  if (length - start >= kByteOrderMarkLength &&
      std::memcmp(text + start, kByteOrderMark, kByteOrderMarkLength) == 0) {
    check.problem = TextProblem::kMisplacedByteOrderMark;
    check.line = 1;
    return check;
  }
  int64_t line = 1;
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (c == '\n') {
      ++line;
      if (length - i - 1 >= kByteOrderMarkLength &&
          std::memcmp(text + i + 1, kByteOrderMark, kByteOrderMarkLength) == 0) {
        check.problem = TextProblem::kMisplacedByteOrderMark;
      }
    } else if (c == '\0') {
      check.problem = TextProblem::kNulByte;
    } else if (c == '\r' && (i + 1 == length || text[i + 1] != '\n')) {
      check.problem = TextProblem::kLoneCarriageReturn;
    }
    if (check.problem != TextProblem::kNone) {
      check.line = line;
      return check;
    }
  }
  return check;
}

LineAction lineAction(const KeystoreLine& line) {
  switch (line.kind) {
    case LineKind::kFlag:
      return line.flagSaysYes ? LineAction::kKeep : LineAction::kDrop;
    case LineKind::kCredential:
      return line.wordsBeforeEquals ? LineAction::kRefuse
             : line.protectedValue  ? LineAction::kKeepProtected
             : line.heldBackBy != 0 ? LineAction::kKeepHeldBack
                                    : LineAction::kProtect;
    case LineKind::kKeyFile:
      return line.wordsBeforeEquals            ? LineAction::kRefuse
             : line.entry != EntryKind::kEntry ? LineAction::kRefuseKeyFile
                                               : LineAction::kKeep;
    case LineKind::kOther:
      break;
  }
  return LineAction::kKeep;
}

bool rewriteChanges(const KeystoreLine& line) {
  LineAction action = lineAction(line);
  return action == LineAction::kProtect || action == LineAction::kDrop || !line.hasEnding;
}

int32_t keystoreFault(const char* text, size_t length, TextCheck* check, KeystoreLine* unclear) {
  *check = checkKeystoreText(text, length);
  if (check->problem != TextProblem::kNone) return kKeystoreNotText;
  KeystoreLines lines(text, length);
  while (lines.next(unclear)) {
    LineAction action = lineAction(*unclear);
    if (action == LineAction::kRefuse) return kKeystoreUnclearLine;
    if (action == LineAction::kRefuseKeyFile) return kConfigCannotParse;
  }
  return 0;
}

bool lineKeyIs(const KeystoreLine& line, const char* key) {
  return spanEquals(line.text, line.key, key);
}

KeystoreLines::KeystoreLines(const char* text, size_t length)
    : text_(text), length_(length),
      mark_(length >= kByteOrderMarkLength &&
                    std::memcmp(text, kByteOrderMark, kByteOrderMarkLength) == 0
                ? kByteOrderMarkLength
                : 0),
      start_(mark_) {}

bool KeystoreLines::next(KeystoreLine* line) {
  if (start_ >= length_) return false;
  *line = KeystoreLine{};
  const char* text = text_ + start_;
  const void* newline = std::memchr(text, '\n', length_ - start_);
  size_t length = newline != nullptr
                      ? static_cast<size_t>(static_cast<const char*>(newline) - text)
                      : length_ - start_;
  start_ += length + 1;
  line->hasEnding = newline != nullptr;
  bool crlf = line->hasEnding && length > 0 && text[length - 1] == '\r';
  if (crlf) --length;
  line->ending = line->hasEnding ? (crlf ? "\r\n" : "\n")
                 : previousEnding_ != nullptr ? previousEnding_
                                              : kLineEnd;
  previousEnding_ = line->ending;
  line->text = text;
  line->length = length;
  line->number = ++number_;
  classifyEntry(line);

  line->key = firstWord(text, length);
  if (spanEquals(text, line->key, kKeyFileEntry)) {
    line->kind = LineKind::kKeyFile;
    // With '=', the entry's key must be this key alone.
    line->wordsBeforeEquals = std::memchr(text, '=', length) != nullptr &&
                              !spanEquals(text, line->entryKey, kKeyFileEntry);
    return true;
  }
  if (spanEquals(text, line->key, kChannelFlagKey)) {
    line->value = flagValue(text, length, line->key);
    line->kind = line->value.length > 0 ? LineKind::kFlag : LineKind::kOther;
    line->flagSaysYes = isYes(text, line->value);
    return true;
  }
  for (size_t row = 0; row < std::size(kCredentialTable); ++row) {
    if (spanStartsWith(text, line->key, kCredentialTable[row].flagKey)) {
      line->value = flagValue(text, length, line->key);
      if (line->value.length == 0) return true;
      line->kind = LineKind::kFlag;
      line->flagSaysYes = isYes(text, line->value);
      yesFlagLine_[row] = line->flagSaysYes ? line->number : 0;
      return true;
    }
    if (!spanStartsWith(text, line->key, kCredentialTable[row].credentialKey)) continue;
    // The '=' must follow the key, blanks aside.
    size_t cursor = skipBlanks(text, line->key.begin + line->key.length, length);
    if (cursor < length && text[cursor] != '=') {
      line->wordsBeforeEquals = std::memchr(text + cursor, '=', length - cursor) != nullptr;
      if (line->wordsBeforeEquals) line->kind = LineKind::kCredential;
      return true;
    }
    if (cursor == length) return true;
    cursor = skipBlanks(text, cursor + 1, length);
    line->value = LineSpan{cursor, static_cast<size_t>(
                                       configValueEnd(text + cursor, text + length) - (text + cursor))};
    if (line->value.length == 0) return true;
    line->kind = LineKind::kCredential;
    line->protectedValue = isProtectedText(text + line->value.begin, line->value.length);
    line->heldBackBy = yesFlagLine_[row];
    line->flagKey = spanStartsWith(text, line->key, kChannelPrefix) ? kChannelFlagKey
                                                                     : kCredentialTable[row].flagKey;
    return true;
  }
  return true;
}

void writeFlagLine(const KeystoreLine& line, WriteBytes write, void* sink) {
  write(sink, line.flagKey, std::strlen(line.flagKey));
  write(sink, " = YES", 6);
  write(sink, line.ending, std::strlen(line.ending));
}

void writeProtectedLine(const KeystoreLine& line, const char* protectedText, size_t length,
                        WriteBytes write, void* sink) {
  writeFlagLine(line, write, sink);
  write(sink, line.text + line.key.begin, line.key.length);
  write(sink, " = ", 3);
  const void* nul = std::memchr(protectedText, '\0', length);
  size_t textLength =
      nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - protectedText) : length;
  write(sink, protectedText, textLength);
  for (size_t i = textLength; i < length; ++i) write(sink, " ", 1);
  // The comment with the blanks before it; trailing blanks alone are no comment.
  size_t valueEnd = line.value.begin + line.value.length;
  if (skipBlanks(line.text, valueEnd, line.length) < line.length) {
    write(sink, line.text + valueEnd, line.length - valueEnd);
  }
  write(sink, line.ending, std::strlen(line.ending));
}
