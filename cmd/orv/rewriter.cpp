#include "cmd/orv/rewriter.h"

#include <cstddef>
#include <cstring>
#include <iterator>

#include "cmd/orv/command_records.h"
#include "lib/orv/config_syntax.h"
#include "lib/orv/credential_keys.h"
#include "platform/files.h"
#include "platform/messages.h"
#include "platform/trace.h"

namespace {

// A flag key belongs to the credential key with the same first word
// ("pem.password" and "pem.encrypted").
constexpr bool sameFirstWord(const char* a, const char* b) {
  while (*a != '\0' && *a != '.' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b && (*a == '.' || *a == '\0');
}

static_assert(std::size(kCredentialKeys) == 3, "one table row per credential key");
static_assert(sameFirstWord(kCredentialKeys[0], "crl.encrypted"), "row 1 pairs its keys");
static_assert(sameFirstWord(kCredentialKeys[1], "pem.encrypted"), "row 2 pairs its keys");
static_assert(sameFirstWord(kCredentialKeys[2], "pkcs11.encrypted"), "row 3 pairs its keys");

constexpr const char* kChannelPrefix = "pem.password.channel";
constexpr const char* kFlagValue = "YES";
constexpr int kMarkerSeparatorsRequired = 3;

// A stretch of the line, by position, so that no length limits a key or value.
struct Span {
  const char* begin = nullptr;
  size_t length = 0;

  bool empty() const { return length == 0; }
  // Byte by byte: most keys differ from a table key at their first byte.
  bool startsWith(const char* prefix) const {
    for (size_t i = 0; prefix[i] != '\0'; ++i) {
      if (i == length || begin[i] != prefix[i]) return false;
    }
    return true;
  }
  bool equals(const char* text) const {
    return length == std::strlen(text) && std::memcmp(begin, text, length) == 0;
  }
};

// "YES" in any case.
bool isFlagYes(const Span& value) {
  if (value.length != 3) return false;
  for (size_t i = 0; i < 3; ++i) {
    char c = value.begin[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != kFlagValue[i]) return false;
  }
  return true;
}

// A value protected earlier: the marker first and the service's three '!'
// separators somewhere in it.
bool isProtectedValue(const Span& value) {
  if (!value.startsWith(kProtectedMarker)) return false;
  int separators = 0;
  for (size_t i = 0; i < value.length; ++i) {
    if (value.begin[i] == '!') ++separators;
  }
  return separators >= kMarkerSeparatorsRequired;
}

// Key: the first word of the line, ended by whitespace or '='.
Span tokeniseKey(const char* line, const char* end) {
  const char* cursor = line;
  while (cursor < end && isConfigWhitespace(*cursor)) ++cursor;
  Span key;
  key.begin = cursor;
  while (cursor < end && !isConfigWhitespace(*cursor) && *cursor != '=') ++cursor;
  key.length = static_cast<size_t>(cursor - key.begin);
  return key;
}

// A flag line's value: the first word after the first '=' that follows the
// key; empty when there is none.
Span tokeniseFlagValue(const Span& key, const char* end) {
  const char* cursor = key.begin + key.length;
  Span value;
  value.begin = end;
  const void* equals = std::memchr(cursor, '=', static_cast<size_t>(end - cursor));
  if (equals == nullptr) return value;
  cursor = static_cast<const char*>(equals) + 1;
  while (cursor < end && isConfigWhitespace(*cursor)) ++cursor;
  value.begin = cursor;
  while (cursor < end && !isConfigWhitespace(*cursor)) ++cursor;
  value.length = static_cast<size_t>(cursor - value.begin);
  return value;
}

// A credential line's value: everything from the first non-blank character
// after the '=' that directly follows the key (blanks aside) up to a comment
// or the end of the line, less trailing blanks; empty when the line has no
// '='. *wordsBeforeEquals tells a line whose '=' comes after another word.
Span tokeniseCredentialValue(const Span& key, const char* end, bool* wordsBeforeEquals) {
  const char* cursor = key.begin + key.length;
  Span value;
  value.begin = end;
  while (cursor < end && isConfigWhitespace(*cursor)) ++cursor;
  if (cursor == end || *cursor != '=') {
    *wordsBeforeEquals = cursor < end && std::memchr(cursor, '=', static_cast<size_t>(end - cursor));
    return value;
  }
  ++cursor;
  while (cursor < end && isConfigWhitespace(*cursor)) ++cursor;
  value.begin = cursor;
  value.length = static_cast<size_t>(configValueEnd(cursor, end) - cursor);
  return value;
}

// Whether the key begins with a flag key or a credential key of the table
// (the channel flag key begins with one). A line of any other key passes
// through unchanged and changes no state, whatever its value, so its value
// need not be looked at: most lines of a keystore are such lines.
bool concernsTable(const Span& key) {
  for (const CredentialRule* rule = credentialTable; rule->credentialKey != nullptr; ++rule) {
    if (key.startsWith(rule->flagKey) || key.startsWith(rule->credentialKey)) return true;
  }
  return false;
}
constexpr bool beginsWith(const char* text, const char* prefix) {
  while (*prefix != '\0' && *text == *prefix) {
    ++text;
    ++prefix;
  }
  return *prefix == '\0';
}
static_assert(beginsWith(kChannelFlagKey, kCredentialKeys[1]),
              "the channel flag key begins with a credential key");

void write(FILE* output, const char* text, size_t length) {
  if (length > 0) osWriteFile(text, 1, length, output);
}
void write(FILE* output, const char* text) { write(output, text, std::strlen(text)); }

void reportProtectionFailure(int32_t rc) {
  ORV_TRACE_TEXT(kRewriteFunctionNumber, 0, "Failed to encrypt credential: %d", rc);
  ORV_COMMAND_MESSAGE(kMsgPbeFailed, numberMessage(rc));
}

// The parts of a credential line that its protected form keeps.
struct CredentialLine {
  Span key;
  Span value;
  Span comment;           // the blanks before a comment and the comment; may be empty
  const char* ending;     // "\r\n" or "\n"
};

// Protects the value of a credential line and writes the flag line and the
// protected line in its place.
int32_t protectCredential(FILE* output, PbeContext* context, const CredentialRule& rule,
                          const CredentialLine& line) {
  char* protectedText = nullptr;
  int32_t protectedLength = 0;
  // A value the service cannot take whole is refused, never cut.
  int32_t rc = line.value.length > static_cast<size_t>(INT32_MAX)
                   ? kPbeBadArgument
                   : svcPbeSave(context, line.value.begin, static_cast<int32_t>(line.value.length),
                                &protectedText, &protectedLength);
  if (rc != 0) {
    reportProtectionFailure(rc);
    return rc;
  }

  write(output, line.key.startsWith(kChannelPrefix) ? kChannelFlagKey : rule.flagKey);
  write(output, " = ");
  write(output, kFlagValue);
  write(output, line.ending);
  write(output, line.key.begin, line.key.length);
  write(output, " = ");
  // Exactly the reported length: the text up to it or its first NUL, padded
  // with spaces.
  size_t length = static_cast<size_t>(protectedLength);
  const void* nul = std::memchr(protectedText, '\0', length);
  size_t textLength =
      nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - protectedText) : length;
  write(output, protectedText, textLength);
  for (size_t i = textLength; i < length; ++i) write(output, " ", 1);
  write(output, line.comment.begin, line.comment.length);
  write(output, line.ending);
  svcPbeFreeBuf(protectedText, protectedLength);
  return 0;
}

}  // namespace

CredentialRule credentialTable[] = {
    {kCredentialKeys[0], "crl.encrypted", kCredentialStateUnknown},
    {kCredentialKeys[1], "pem.encrypted", kCredentialStateUnknown},
    {kCredentialKeys[2], "pkcs11.encrypted", kCredentialStateUnknown},
    {nullptr, nullptr, 0},
};

void resetCredentialStates() {
  for (CredentialRule* rule = credentialTable; rule->credentialKey != nullptr; ++rule) {
    rule->state = kCredentialStateUnknown;
  }
}

int32_t rewriteCredentialLine(FILE* output, PbeContext* context, char* line, LineNote* note) {
  TraceScope scope(kRewriteFunctionNumber);
  LineNote ignored;
  if (note == nullptr) note = &ignored;
  *note = LineNote{};
  size_t lineLength = std::strlen(line);
  bool hadNewline = lineLength > 0 && line[lineLength - 1] == '\n';
  if (hadNewline) line[--lineLength] = '\0';

  CredentialLine parts;
  const char* end = line + lineLength;
  // The carriage return of a "\r\n" ending is no part of the text.
  bool crlf = hadNewline && lineLength > 0 && line[lineLength - 1] == '\r';
  if (crlf) --end;
  parts.ending = crlf ? "\r\n" : "\n";
  parts.key = tokeniseKey(line, end);

  bool replaced = false;
  int32_t rc = 0;
  if (!concernsTable(parts.key)) {
    // Most lines: passed through without a look at their value.
  } else if (parts.key.equals(kChannelFlagKey)) {
    // The flag line written before a protected channel password: it must
    // read back as a flag, or a second run would protect the "YES".
    Span value = tokeniseFlagValue(parts.key, end);
    replaced = !value.empty() && !isFlagYes(value);
  } else {
    Span flagValue = tokeniseFlagValue(parts.key, end);
    for (CredentialRule* rule = credentialTable; rule->credentialKey != nullptr; ++rule) {
      if (flagValue.empty() || !parts.key.startsWith(rule->flagKey)) continue;
      if (isFlagYes(flagValue)) {
        rule->state = kCredentialStateProtected;
      } else {
        rule->state = kCredentialStateNotProtected;
        replaced = true;
      }
    }
    for (CredentialRule* rule = credentialTable; rule->credentialKey != nullptr; ++rule) {
      if (!parts.key.startsWith(rule->credentialKey)) continue;
      bool wordsBeforeEquals = false;
      parts.value = tokeniseCredentialValue(parts.key, end, &wordsBeforeEquals);
      if (wordsBeforeEquals) {
        *note = LineNote{LineNote::kWordsBeforeEquals, parts.key.begin, parts.key.length};
        return scope.result(kRewriteWordsBeforeEquals);
      }
      if (parts.value.empty() || isProtectedValue(parts.value)) continue;
      if (rule->state == kCredentialStateProtected) {
        *note = LineNote{LineNote::kPlaintextBehindFlag, parts.key.begin, parts.key.length};
        continue;
      }
      const char* valueEnd = parts.value.begin + parts.value.length;
      bool hasComment = false;
      for (const char* p = valueEnd; p < end; ++p) hasComment = hasComment || !isConfigWhitespace(*p);
      parts.comment = hasComment ? Span{valueEnd, static_cast<size_t>(end - valueEnd)} : Span{};
      // A value that could not be protected is not written in plaintext
      // either: the run fails on this line, and only the keystore file, which
      // it leaves as it was, holds the plaintext.
      replaced = true;
      int32_t saveRc = protectCredential(output, context, *rule, parts);
      if (saveRc != 0 && rc == 0) rc = saveRc;
    }
  }

  if (!replaced) {
    // The line as read and a newline in one write: the newline stands in
    // for the terminating NUL meanwhile.
    line[lineLength] = '\n';
    osWriteFile(line, 1, lineLength + 1, output);
    line[lineLength] = '\0';
  }
  return scope.result(rc);
}
