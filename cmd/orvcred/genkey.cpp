// orvcred genkey: a new initial key file, created exclusively and readable
// by its owner only.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cmd/orvcred/command.h"
#include "cmd/orvcred/orvcred.h"
#include "cmd/shell/keystore.h"
#include "cmd/shell/shell.h"
#include "platform/files.h"
#include "platform/pbe.h"
#include "platform/runtime.h"

namespace {

// The key to standard output alone, for a secret store that takes it from a
// pipe: never through a stream buffer that is freed unwiped.
int32_t writeKeyToStandardOutput(char* text, size_t length) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  osWriteFile(text, 1, length, stdout);
  osSecureWipe(text, length);
  if (osFileError(stdout) || std::fflush(stdout) != 0) {
    ORV_MESSAGE(kMsgWriteFailed, numberMessage(errno != 0 ? errno : EIO, "-"));
    return kRunWriteFailed;
  }
  ORV_MESSAGE(kMsgKeyWritten, messageRecord());
  return kRunOk;
}

}  // namespace

int32_t runGenkey(const CredOptions& options) {
  const char* path = options.operands.front();
  if (std::strcmp(path, "-") == 0) {
    char text[kPbeNewKeyTextLength + 2];
    int32_t rc = pbeNewKeyText(text);
    if (rc != 0) return reportPbeFailure(rc);
    text[kPbeNewKeyTextLength] = '\n';
    return writeKeyToStandardOutput(text, kPbeNewKeyTextLength + 1);
  }
  WalkedPath at;
  int32_t code = walkForWriting(path, &at);
  if (code != kRunOk) return code;
  char text[kPbeNewKeyTextLength + 2];
  int32_t rc = pbeNewKeyText(text);
  if (rc != 0) return reportPbeFailure(rc);
  text[kPbeNewKeyTextLength] = '\n';
  FILE* file = osCreatePrivateFile(at, at.name, nullptr);
  if (file == nullptr) {
    int32_t error = errno;
    osSecureWipe(text, sizeof text);
    if (error == EEXIST) {
      ORV_MESSAGE(kMsgFileExists, textMessage(path));
    } else {
      ORV_MESSAGE(kMsgCannotOpen, numberMessage(error, path));
    }
    return kRunCannotOpen;
  }
  // A key cut off half-written is no key: an interruption removes it. And it
  // goes straight to the file, never through a stream buffer freed unwiped.
  osGuardSideFile(file, &at, at.name);
  std::setvbuf(file, nullptr, _IONBF, 0);
  osWriteFile(text, 1, kPbeNewKeyTextLength + 1, file);
  osSecureWipe(text, sizeof text);
  int32_t error = osFileError(file) ? (errno != 0 ? errno : EIO) : osSyncFile(file);
  if (error != 0) {
    // A key that may not have reached the disk whole is no key: never leave it.
    osDiscardFile(file, at, at.name);
  } else {
    if (osCloseFile(file) != 0) error = errno != 0 ? errno : EIO;
    osGuardSideFile(nullptr, nullptr, nullptr);
  }
  if (error != 0) {
    ORV_MESSAGE(kMsgWriteFailed, numberMessage(error, path));
    return kRunWriteFailed;
  }
  ORV_MESSAGE(kMsgKeyCreated, textMessage(path));
  return kRunOk;
}
