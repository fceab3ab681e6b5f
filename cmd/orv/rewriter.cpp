#include "cmd/orv/rewriter.h"

#include <cstddef>
#include <cstring>
#include <iterator>

#include "cmd/orv/command_records.h"
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

// The default-locale whitespace set: space, and tab, line feed, vertical
// tab, form feed and carriage return, which are consecutive; bytes from 0x80
// up never count.
bool isWhitespace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
static_assert('\t' + 1 == '\n' && '\n' + 1 == '\v' && '\v' + 1 == '\f' && '\f' + 1 == '\r',
              "the control whitespace characters are consecutive");

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
  while (cursor < end && isWhitespace(*cursor)) ++cursor;
  Span key;
  key.begin = cursor;
  while (cursor < end && !isWhitespace(*cursor) && *cursor != '=') ++cursor;
  key.length = static_cast<size_t>(cursor - key.begin);
  return key;
}

// Value: the first word after the first '=' that follows the key; empty when
// there is none.
Span tokeniseValue(const Span& key, const char* end) {
  const char* cursor = key.begin + key.length;
  Span value;
  value.begin = end;
  if (cursor == end) return value;
  const void* equals = std::memchr(cursor, '=', static_cast<size_t>(end - cursor));
  if (equals == nullptr) return value;
  cursor = static_cast<const char*>(equals) + 1;
  while (cursor < end && isWhitespace(*cursor)) ++cursor;
  value.begin = cursor;
  while (cursor < end && !isWhitespace(*cursor)) ++cursor;
  value.length = static_cast<size_t>(cursor - value.begin);
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

// Writes the line as read and a newline in one write: the newline stands
// in for the terminating NUL meanwhile. The same bytes as "%s\n", without
// the cost of formatting, which is most of the cost of a line.
void writeLineAsRead(FILE* output, char* line, size_t lineLength) {
  line[lineLength] = '\n';
  osWriteFile(line, 1, lineLength + 1, output);
  line[lineLength] = '\0';
}

void reportProtectionFailure(int32_t rc) {
  ORV_TRACE_TEXT(kRewriteFunctionNumber, 0, "Failed to encrypt credential: %d", rc);
  MessageRecord record = messageRecord();
  record.numericInsert1 = static_cast<uint64_t>(static_cast<int64_t>(rc));
  ORV_COMMAND_MESSAGE(kMsgPbeFailed, record);
}

// Protects the value of a credential line and writes the flag line and the
// protected line in its place. The key is terminated in place for the
// writes and restored, so the line is unchanged when it has to be passed
// through after all.
int32_t protectCredential(FILE* output, PbeContext* context, const CredentialRule& rule, char* line,
                          const Span& key, const Span& value) {
  char* protectedText = nullptr;
  int32_t protectedLength = 0;
  // A value the service cannot take whole is refused, never cut.
  int32_t rc = value.length > static_cast<size_t>(INT32_MAX)
                   ? kPbeBadArgument
                   : svcPbeSave(context, value.begin, static_cast<int32_t>(value.length),
                                &protectedText, &protectedLength);
  if (rc != 0) {
    reportProtectionFailure(rc);
    return rc;
  }

  if (key.startsWith(kChannelPrefix)) {
    osPrintFile(output, "%s.%s = %s\n", kChannelPrefix, "encrypted", kFlagValue);
  } else {
    osPrintFile(output, "%s = %s\n", rule.flagKey, kFlagValue);
  }
  char* keyStart = line + (key.begin - line);
  char savedKeyEnd = keyStart[key.length];
  keyStart[key.length] = '\0';
  writeProtectedLine(output, keyStart, protectedText, protectedLength);
  keyStart[key.length] = savedKeyEnd;
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

void writeProtectedLine(FILE* output, const char* key, const char* text, int32_t length) {
  osPrintFile(output, "%s = %-*.*s\n", key, static_cast<int>(length), static_cast<int>(length),
              text);
}

void resetCredentialStates() {
  for (CredentialRule* rule = credentialTable; rule->credentialKey != nullptr; ++rule) {
    rule->state = kCredentialStateUnknown;
  }
}

int32_t rewriteCredentialLine(FILE* output, PbeContext* context, char* line) {
  TraceScope scope(kRewriteFunctionNumber);
  size_t lineLength = std::strlen(line);
  if (lineLength > 0 && line[lineLength - 1] == '\n') line[--lineLength] = '\0';

  const char* end = line + lineLength;
  Span key = tokeniseKey(line, end);
  Span value = concernsTable(key) ? tokeniseValue(key, end) : Span{};
  if (value.empty()) {
    writeLineAsRead(output, line, lineLength);
    return scope.result(0);
  }

  bool replaced = false;
  int32_t rc = 0;
  if (key.equals(kChannelFlagKey)) {
    // The flag line written before a protected channel password: it must
    // read back as a flag, or a second run would protect the "YES".
    replaced = !isFlagYes(value);
  } else {
    for (CredentialRule* rule = credentialTable; rule->credentialKey != nullptr; ++rule) {
      if (!key.startsWith(rule->flagKey)) continue;
      if (isFlagYes(value)) {
        rule->state = kCredentialStateProtected;
      } else {
        rule->state = kCredentialStateNotProtected;
        replaced = true;
      }
    }
    for (CredentialRule* rule = credentialTable; rule->credentialKey != nullptr; ++rule) {
      if (!key.startsWith(rule->credentialKey)) continue;
      if (isProtectedValue(value)) continue;
      if (rule->state == kCredentialStateProtected) continue;
      int32_t saveRc = protectCredential(output, context, *rule, line, key, value);
      // A value that could not be protected is not written in plaintext
      // either: the run fails on this line, and only the keystore file, which
      // it leaves as it was, holds the plaintext.
      replaced = true;
      if (saveRc != 0 && rc == 0) rc = saveRc;
    }
  }

  if (!replaced) writeLineAsRead(output, line, lineLength);
  return scope.result(rc);
}
