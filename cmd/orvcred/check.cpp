// orvcred check: one line per credential line, FILE:LINE: KEY: STATE, and
// never a value.
#include <cstdio>

#include "cmd/orvcred/command.h"
#include "cmd/orvcred/orvcred.h"
#include "lib/orvcred/credential_line.h"
#include "lib/orvcred/master_keys.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/pbe.h"

namespace {

constexpr const char* kStateProtected = "protected";
constexpr const char* kStateNotReadable = "protected, not readable with this key";
constexpr const char* kStatePlaintext = "plaintext";
constexpr const char* kStateFlaggedPlaintext = "plaintext behind a flag that says protected";

// Whether the value reads back under this key: 0 (yes), kCredNotReadable,
// or the failure of the service.
int32_t readable(MasterKeys& keys, const InitialKey& key, const char* value, size_t length) {
  int32_t algorithm = MasterKeys::algorithmOf(value, length);
  if (algorithm == 0) return kCredNotReadable;
  int32_t rc = keys.derive(key.bytes, key.length, algorithm);
  if (rc != 0) return reportPbeFailure(rc);
  char* plaintext = nullptr;
  int32_t plaintextLength = 0;
  rc = keys.restore(value, length, &plaintext, &plaintextLength);
  svcPbeFreeBuf(plaintext, plaintextLength);
  if (rc == 0 || !isUnreadableValue(rc)) return rc == 0 ? 0 : reportPbeFailure(rc);
  return kCredNotReadable;
}

}  // namespace

int32_t runCheck(const CredOptions& options) {
  char pathBuffer[kConfigPathSize] = {};
  const char* keystorePath = nullptr;
  int32_t rc = locateKeystore(options, pathBuffer, &keystorePath);
  if (rc != 0) return rc;
  char* text = nullptr;
  size_t textLength = 0;
  rc = readKeystore(keystorePath, &text, &textLength);
  if (rc != 0) return rc;
  InitialKey key;
  rc = chooseKeyReporting(keystorePath, options.keyFile, &key);

  MasterKeys keys;
  int64_t firstPlaintext = 0;
  char keyName[256];
  const char* firstUnreadable = nullptr;
  char unreadableKey[256] = {};
  KeystoreLines lines(text, textLength);
  for (KeystoreLine current; rc == 0 && lines.next(&current);) {
    const char* line = current.text;
    const CredentialLine& credential = current.credential;
    if (credential.kind != CredentialLineKind::kCredential) continue;
    const char* state = credential.behindProtectedFlag ? kStateFlaggedPlaintext : kStatePlaintext;
    if (credential.protectedValue) {
      rc = readable(keys, key, line + credential.value.begin, credential.value.length);
      state = rc == 0 ? kStateProtected : kStateNotReadable;
      if (rc == kCredNotReadable) {
        rc = 0;
        if (firstUnreadable == nullptr) {
          std::snprintf(unreadableKey, sizeof unreadableKey, "%.*s",
                        static_cast<int>(credential.key.length), line + credential.key.begin);
          firstUnreadable = unreadableKey;
        }
      }
      if (rc != 0) break;
    } else if (firstPlaintext == 0) {
      firstPlaintext = current.number;
    }
    std::snprintf(keyName, sizeof keyName, "%.*s", static_cast<int>(credential.key.length),
                  line + credential.key.begin);
    std::printf("%s:%lld: %s: %s\n", keystorePath, static_cast<long long>(current.number),
                keyName, state);
  }
  svcFreeMem(0, kMemoryComponent, 0, text);
  std::fflush(stdout);
  if (rc != 0) return rc;
  if (firstUnreadable != nullptr) {
    ORV_CRED_MESSAGE(kMsgNotReadable, textMessage(keystorePath, firstUnreadable));
    return kCredNotReadable;
  }
  if (firstPlaintext != 0) {
    ORV_CRED_MESSAGE(kMsgPlaintextFound, numberMessage(firstPlaintext, keystorePath));
    return kCredPlaintext;
  }
  ORV_CRED_MESSAGE(kMsgAllProtected, textMessage(keystorePath));
  return kCredOk;
}
