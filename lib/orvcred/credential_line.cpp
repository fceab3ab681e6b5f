#include "lib/orvcred/credential_line.h"

#include <cstring>
#include <iterator>

#include "lib/orv/config_syntax.h"
#include "lib/orv/credential_keys.h"
#include "lib/orvcred/initial_key.h"

namespace {

// Row by row the flag key of each credential key of kCredentialKeys.
constexpr const char* kFlagKeys[] = {"crl.encrypted", "pem.encrypted", "pkcs11.encrypted"};
static_assert(std::size(kFlagKeys) == std::size(kCredentialKeys), "one flag key per row");
constexpr const char* kChannelPrefix = "pem.password.channel";
constexpr int kSeparatorsRequired = 3;

bool spanStartsWith(const char* line, const LineSpan& span, const char* prefix) {
  size_t length = std::strlen(prefix);
  return span.length >= length && std::memcmp(line + span.begin, prefix, length) == 0;
}

bool spanEquals(const char* line, const LineSpan& span, const char* text) {
  return span.length == std::strlen(text) && std::memcmp(line + span.begin, text, span.length) == 0;
}

bool isYes(const char* line, const LineSpan& value) {
  if (value.length != 3) return false;
  for (size_t i = 0; i < 3; ++i) {
    char c = line[value.begin + i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != "YES"[i]) return false;
  }
  return true;
}

LineSpan keyOf(const char* line, size_t length) {
  size_t cursor = 0;
  while (cursor < length && isConfigWhitespace(line[cursor])) ++cursor;
  LineSpan key{cursor, 0};
  while (cursor < length && !isConfigWhitespace(line[cursor]) && line[cursor] != '=') ++cursor;
  key.length = cursor - key.begin;
  return key;
}

LineSpan valueOf(const char* line, size_t length, const LineSpan& key) {
  size_t cursor = key.begin + key.length;
  while (cursor < length && line[cursor] != '=') ++cursor;
  if (cursor == length) return LineSpan{length, 0};
  ++cursor;
  while (cursor < length && isConfigWhitespace(line[cursor])) ++cursor;
  LineSpan value{cursor, 0};
  while (cursor < length && !isConfigWhitespace(line[cursor])) ++cursor;
  value.length = cursor - value.begin;
  return value;
}

}  // namespace

bool isProtectedText(const char* text, size_t length) {
  size_t markerLength = std::strlen(kProtectedMarker);
  if (length < markerLength || std::memcmp(text, kProtectedMarker, markerLength) != 0) return false;
  int separators = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '!') ++separators;
  }
  return separators >= kSeparatorsRequired;
}

bool KeystoreLines::next(KeystoreLine* line) {
  if (start_ >= length_) return false;
  line->text = text_ + start_;
  const void* newline = std::memchr(line->text, '\n', length_ - start_);
  line->hasNewline = newline != nullptr;
  line->length = newline != nullptr ? static_cast<size_t>(static_cast<const char*>(newline) -
                                                           line->text)
                                    : length_ - start_;
  line->number = ++number_;
  line->credential = scanner_.next(line->text, line->length);
  start_ += line->length + 1;
  return true;
}

bool lineKeyEquals(const char* line, size_t length, const char* key) {
  return spanEquals(line, keyOf(line, length), key);
}

CredentialLine CredentialLineScanner::next(const char* line, size_t length) {
  CredentialLine result;
  result.key = keyOf(line, length);
  result.value = valueOf(line, length, result.key);
  if (result.value.length == 0) return result;
  if (spanEquals(line, result.key, kChannelFlagLineKey)) {
    result.kind = CredentialLineKind::kFlag;
    result.flagSaysProtected = isYes(line, result.value);
    return result;
  }
  for (int row = 0; row < kRows; ++row) {
    if (spanStartsWith(line, result.key, kFlagKeys[row])) {
      result.kind = CredentialLineKind::kFlag;
      result.flagSaysProtected = isYes(line, result.value);
      flagProtected_[row] = result.flagSaysProtected;
      return result;
    }
    if (spanStartsWith(line, result.key, kCredentialKeys[row])) {
      result.kind = CredentialLineKind::kCredential;
      // A credential's value is all of it up to a comment, as orvseal protects it.
      const char* value = line + result.value.begin;
      result.value.length = static_cast<size_t>(configValueEnd(value, line + length) - value);
      result.protectedValue = isProtectedText(line + result.value.begin, result.value.length);
      result.behindProtectedFlag = flagProtected_[row];
      size_t equals = result.key.begin + result.key.length;
      while (equals < length && isConfigWhitespace(line[equals])) ++equals;
      result.wordsBeforeEquals = equals < length && line[equals] != '=';
      result.flagKey = spanStartsWith(line, result.key, kChannelPrefix) ? kChannelFlagLineKey
                                                                         : kFlagKeys[row];
      return result;
    }
  }
  return result;
}
