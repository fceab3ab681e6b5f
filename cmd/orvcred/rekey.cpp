// orvcred rekey: every credential protected again under a new initial key,
// all or nothing, the keystore replaced in one atomic and durable step.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cmd/orvcred/command.h"
#include "cmd/orvcred/orvcred.h"
#include "lib/orv/config_syntax.h"
#include "lib/orvcred/credential_line.h"
#include "lib/orvcred/master_keys.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/pbe.h"
#include "platform/trace.h"

namespace {

constexpr const char* kKeyFileEntry = "orvcred.keyfile";

// The value of a key = value line as the configuration reader reads it:
// from the first non-blank character after the '=' to the end of the value
// (configValueEnd: a comment begins at a '#' that follows a blank).
LineSpan configValue(const char* line, size_t length) {
  const char* end = line + length;
  const char* value = static_cast<const char*>(std::memchr(line, '=', length));
  if (value == nullptr) return LineSpan{length, 0};
  for (++value; value < end && isConfigWhitespace(*value);) ++value;
  return LineSpan{static_cast<size_t>(value - line),
                  static_cast<size_t>(configValueEnd(value, end) - value)};
}

// The keystore's replacement: written beside it, then renamed onto it.
// The platform's file layer is met here alone.
class Replacement {
 public:
  ~Replacement() {
    if (stream_ != nullptr) osDiscardFile(stream_, sidePath_);
  }

  // 0, kCredPathTooLong or kCredCannotCreate, with the message.
  int32_t create(const char* keystorePath) {
    int written = -1;
    if (osResolveLinks(keystorePath, target_, sizeof target_) == 0) {
      written = std::snprintf(sidePath_, sizeof sidePath_ - 1, "%s.bak", target_);
    }
    if (written < 0 || written >= static_cast<int>(sizeof sidePath_) - 1) {
      ORV_CRED_MESSAGE(kMsgPathTooLong, textMessage(keystorePath));
      return kCredPathTooLong;
    }
    stream_ = osCreatePrivateFile(sidePath_, target_);
    if (stream_ == nullptr) {
      ORV_CRED_MESSAGE(kMsgCannotOpen, numberMessage(errno, sidePath_));
      return kCredCannotCreate;
    }
    return 0;
  }

  void write(const char* bytes, size_t length) { osWriteFile(bytes, 1, length, stream_); }
  void write(const char* text) { write(text, std::strlen(text)); }

  // Syncs the side file, gives it the keystore's permissions and lets it
  // replace the keystore. 0, kCredWriteFailed or kCredReplaceFailed, with the
  // message; on failure the keystore is unchanged and the side file removed.
  int32_t commit(const char* keystorePath) {
    int32_t error = osFileError(stream_) ? (errno != 0 ? errno : EIO) : osSyncFile(stream_);
    if (error != 0) {
      ORV_CRED_MESSAGE(kMsgWriteFailed, numberMessage(error, sidePath_));
      return kCredWriteFailed;
    }
    error = osAdoptPermissions(stream_, target_);
    FILE* stream = stream_;
    stream_ = nullptr;
    if (error != 0) {
      osDiscardFile(stream, sidePath_);
    } else {
      error = osCommitFile(stream, sidePath_, target_);
    }
    if (error != 0) {
      ORV_CRED_MESSAGE(kMsgReplaceFailed, numberMessage(error, keystorePath));
      return kCredReplaceFailed;
    }
    return 0;
  }

 private:
  FILE* stream_ = nullptr;
  char target_[kConfigPathSize] = {};
  char sidePath_[kConfigPathSize] = {};
};

// Everything a rekey run holds.
struct Rekey {
  const char* keystorePath = nullptr;
  const char* newKeyFile = nullptr;
  int32_t algorithm = 2;
  InitialKey currentKey;
  InitialKey newKey;
  MasterKeys current;
  MasterKeys next;
};

// Reads one protected value with the current key: 0 with the plaintext
// (released with svcPbeFreeBuf), kCredNotReadable, or a service failure.
int32_t restoreValue(Rekey& run, const char* value, size_t length, char** plaintext,
                     int32_t* plaintextLength) {
  *plaintext = nullptr;
  *plaintextLength = 0;
  int32_t algorithm = MasterKeys::algorithmOf(value, length);
  if (algorithm == 0) return kCredNotReadable;
  int32_t rc = run.current.derive(run.currentKey.bytes, run.currentKey.length, algorithm);
  if (rc != 0) return reportPbeFailure(rc);
  rc = run.current.restore(value, length, plaintext, plaintextLength);
  if (rc == 0) return 0;
  return isUnreadableValue(rc) ? kCredNotReadable : reportPbeFailure(rc);
}

// The first pass, before any file is touched: every protected value must
// read with the current key, and every credential line have a clear value.
int32_t proveReadable(Rekey& run, const char* text, size_t textLength) {
  KeystoreLines lines(text, textLength);
  for (KeystoreLine current; lines.next(&current);) {
    const char* line = current.text;
    const CredentialLine& credential = current.credential;
    if (credential.kind != CredentialLineKind::kCredential) continue;
    char key[256];
    std::snprintf(key, sizeof key, "%.*s", static_cast<int>(credential.key.length),
                  line + credential.key.begin);
    if (credential.wordsBeforeEquals) {
      // Which word is the value cannot be told: orvseal refuses the line too.
      MessageRecord record = numberMessage(current.number, run.keystorePath);
      record.textInsert2 = key;
      ORV_CRED_MESSAGE(kMsgWordsBeforeEquals, record);
      return kCredUnclearLine;
    }
    if (!credential.protectedValue) continue;
    char* plaintext = nullptr;
    int32_t plaintextLength = 0;
    int32_t rc = restoreValue(run, line + credential.value.begin, credential.value.length,
                              &plaintext, &plaintextLength);
    svcPbeFreeBuf(plaintext, plaintextLength);
    if (rc == kCredNotReadable) {
      ORV_CRED_MESSAGE(kMsgNotReadable, textMessage(run.keystorePath, key));
    }
    if (rc != 0) return rc;
  }
  return 0;
}

// Protects a plaintext under the new key and writes it.
int32_t writeProtected(Rekey& run, Replacement& out, const char* plaintext, int32_t length) {
  char* protectedText = nullptr;
  int32_t protectedLength = 0;
  int32_t rc = run.next.save(run.algorithm, plaintext, length, &protectedText, &protectedLength);
  if (rc != 0) return reportPbeFailure(rc);
  out.write(protectedText, static_cast<size_t>(protectedLength));
  svcPbeFreeBuf(protectedText, protectedLength);
  return 0;
}

// Whether the keystore's orvcred.keyfile value names the current key file:
// it is where the key came from, or it names the same file.
bool namesCurrentKeyFile(const Rekey& run, const char* line, const LineSpan& value) {
  if (run.currentKey.isDefault) return false;
  if (run.currentKey.source == InitialKeySource::kKeystore) return true;
  char path[kConfigPathSize];
  if (value.length >= sizeof path) return false;
  std::memcpy(path, line + value.begin, value.length);
  path[value.length] = '\0';
  bool same = false;
  return osSameFile(path, run.currentKey.keyFilePath, &same) == 0 && same;
}

// The second pass: the new text, line by line, as orvseal would write it
// under the new key; lines that concern no credential stay byte for byte.
int32_t writeLines(Rekey& run, Replacement& out, const char* text, size_t textLength) {
  KeystoreLines lines(text, textLength);
  for (KeystoreLine current; lines.next(&current);) {
    const char* line = current.text;
    size_t length = current.length;
    const CredentialLine& credential = current.credential;
    LineSpan replaced{length, 0};
    if (credential.kind == CredentialLineKind::kFlag && !credential.flagSaysProtected) {
      continue;  // orvseal drops a flag that says "not protected"
    }
    if (credential.kind == CredentialLineKind::kCredential && credential.protectedValue) {
      char* plaintext = nullptr;
      int32_t plaintextLength = 0;
      int32_t rc = restoreValue(run, line + credential.value.begin, credential.value.length,
                                &plaintext, &plaintextLength);
      out.write(line, credential.value.begin);
      if (rc == 0) rc = writeProtected(run, out, plaintext, plaintextLength);
      svcPbeFreeBuf(plaintext, plaintextLength);
      if (rc != 0) return rc;
      replaced = credential.value;
    } else if (credential.kind == CredentialLineKind::kCredential &&
               !credential.behindProtectedFlag) {
      // As orvseal writes it: the flag line, then the key and the protected value.
      if (credential.value.length > static_cast<size_t>(kPbeMaxPlaintextBytes)) {
        return reportPbeFailure(kPbeBadArgument);
      }
      // Each line written ends as the line it replaces; a comment follows the value.
      bool crlf = length > 0 && line[length - 1] == '\r';
      const char* ending = crlf ? "\r\n" : "\n";
      size_t valueEnd = credential.value.begin + credential.value.length;
      size_t contentEnd = length - (crlf ? 1 : 0);
      bool hasComment = false;
      for (size_t i = valueEnd; i < contentEnd; ++i) hasComment = hasComment || !isConfigWhitespace(line[i]);
      out.write(credential.flagKey);
      out.write(" = YES");
      out.write(ending);
      out.write(line + credential.key.begin, credential.key.length);
      out.write(" = ");
      int32_t rc = writeProtected(run, out, line + credential.value.begin,
                                  static_cast<int32_t>(credential.value.length));
      if (rc != 0) return rc;
      if (hasComment) out.write(line + valueEnd, contentEnd - valueEnd);
      out.write(ending);
      continue;
    } else if (lineKeyEquals(line, length, kKeyFileEntry)) {
      LineSpan value = configValue(line, length);
      if (value.length > 0 && namesCurrentKeyFile(run, line, value)) {
        out.write(line, value.begin);
        out.write(run.newKeyFile);
        replaced = value;
      }
    }
    size_t rest = replaced.length == 0 ? 0 : replaced.begin + replaced.length;
    out.write(line + rest, length - rest);
    if (current.hasNewline) out.write("\n");
  }
  return 0;
}

}  // namespace

int32_t runRekey(const CredOptions& options) {
  Rekey run;
  run.newKeyFile = options.newKeyFile;
  run.algorithm = options.algorithm;
  char pathBuffer[kConfigPathSize] = {};
  int32_t rc = locateKeystore(options, pathBuffer, &run.keystorePath);
  if (rc != 0) return rc;
  char* text = nullptr;
  size_t textLength = 0;
  rc = readKeystore(run.keystorePath, &text, &textLength);
  if (rc == 0) rc = chooseKeyReporting(run.keystorePath, options.keyFile, &run.currentKey);
  if (rc == 0) rc = chooseKeyReporting(run.keystorePath, run.newKeyFile, &run.newKey);
  if (rc == 0) {
    rc = run.next.derive(run.newKey.bytes, run.newKey.length, run.algorithm);
    if (rc != 0) reportPbeFailure(rc);
    run.newKey.release();
  }
  if (rc == 0) rc = proveReadable(run, text, textLength);
  if (rc == 0) {
    Replacement out;
    rc = out.create(run.keystorePath);
    if (rc == 0) rc = writeLines(run, out, text, textLength);
    if (rc == 0) rc = out.commit(run.keystorePath);
  }
  svcFreeMem(0, kMemoryComponent, 0, text);
  if (rc == 0) ORV_CRED_MESSAGE(kMsgRekeyed, textMessage(run.keystorePath, run.newKeyFile));
  return rc;
}
