#include "cmd/shell/rewriter.h"

#include <cstdlib>
#include <cstring>

#include "cmd/shell/shell.h"
#include "platform/runtime.h"
#include "platform/trace.h"

void writeToOutput(void* sink, const char* bytes, size_t length) {
  static_cast<TextOutput*>(sink)->write(bytes, length);
}

int32_t rewriteCredentialLine(TextOutput& output, Protection& protection,
                              const KeystoreLine& line) {
  TraceScope scope(kRewriteFunctionNumber);
  LineAction action = lineAction(line);
  if (action == LineAction::kDrop) return scope.result(0);
  if (action != LineAction::kProtect) {
    writeLineWith(output, line, LineSpan{line.length, 0}, nullptr, 0);
    return scope.result(0);
  }
  char* protectedText = nullptr;
  int32_t protectedLength = 0;
  int32_t rc = protection.protect(line.text + line.value.begin, line.value.length, &protectedText,
                                  &protectedLength);
  if (rc != 0) {
    ORV_TRACE_TEXT(kRewriteFunctionNumber, 0, "Failed to encrypt credential: %d", rc);
    reportPbeFailure(rc);
    return scope.result(rc);
  }
  writeProtectedLine(line, protectedText, static_cast<size_t>(protectedLength), writeToOutput,
                     &output);
  svcPbeFreeBuf(protectedText, protectedLength);
  return scope.result(0);
}

void writeLineWith(TextOutput& output, const KeystoreLine& line, const LineSpan& span,
                   const char* text, size_t length, LineEnd end) {
  size_t rest = span.begin + span.length;
  output.write(line.text, span.begin);
  output.write(text, length);
  output.write(line.text + rest, line.length - rest);
  if (end == LineEnd::kAlways || line.hasEnding) {
    output.write(line.ending, std::strlen(line.ending));
  }
}

SecretText::~SecretText() {
  osSecureWipe(bytes_, capacity_);
  std::free(bytes_);
}

void SecretText::write(const char* bytes, size_t length) {
  if (length == 0 || failed_) return;
  if (length > capacity_ - size_) {
    size_t capacity = capacity_ * 2 > size_ + length ? capacity_ * 2 : size_ + length + 4096;
    char* grown = static_cast<char*>(std::malloc(capacity));
    if (grown == nullptr) {
      failed_ = true;
      return;
    }
    if (size_ > 0) std::memcpy(grown, bytes_, size_);
    osSecureWipe(bytes_, capacity_);
    std::free(bytes_);
    bytes_ = grown;
    capacity_ = capacity;
  }
  std::memcpy(bytes_ + size_, bytes, length);
  size_ += length;
}

int32_t rewriteKeystore(TextOutput& output, Protection& protection, const char* text, size_t length,
                        const KeystoreWriter& writer) {
  KeystoreLines lines(text, length);
  // A byte order mark is kept as it is and is no part of the first key.
  output.write(kByteOrderMark, lines.byteOrderMark());
  for (KeystoreLine line; lines.next(&line);) {
    bool written = false;
    int32_t rc = writer.ownLine != nullptr ? writer.ownLine(writer.state, output, line, &written)
                                           : 0;
    if (rc == 0 && !written) rc = rewriteCredentialLine(output, protection, line);
    if (rc != 0) return rc;
  }
  return 0;
}

int32_t startProtection(const InitialKey& key, int32_t algorithm, Protection* protection) {
  protection->algorithm = algorithm;
  int32_t code = protection->keys.derive(key.bytes, key.length, algorithm);
  if (code != 0) {
    ORV_RUN_TRACE(0, "Failed to Init PBE: %d", code);
    return reportPbeFailure(code);
  }
  return kRunOk;
}
