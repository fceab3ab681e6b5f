// orvcred check: one line per credential line, FILE:LINE: KEY: STATE, and
// never a value; the exit code says what orvseal would do with the file.
#include <cstdio>

#include "cmd/orvcred/command.h"
#include "cmd/orvcred/orvcred.h"
#include "cmd/shell/keystore.h"
#include "cmd/shell/shell.h"
#include "lib/orv/keystore_line.h"
#include "lib/orvcred/master_keys.h"
#include "platform/pbe.h"

namespace {

constexpr const char* kStateProtected = "protected";
constexpr const char* kStateNotReadable = "protected, not readable with this key";
constexpr const char* kStatePlaintext = "plaintext";
constexpr const char* kStateFlaggedPlaintext = "plaintext behind a flag that says protected";

// Whether the value reads back under this key: 0 (yes), kCredNotReadable,
// or the failure of the service, reported.
int32_t readable(MasterKeys& keys, const InitialKey& key, const KeystoreLine& line) {
  char* plaintext = nullptr;
  int32_t plaintextLength = 0;
  int32_t rc = keys.restoreWith(key, line.text + line.value.begin, line.value.length, &plaintext,
                                &plaintextLength);
  svcPbeFreeBuf(plaintext, plaintextLength);
  if (rc == 0) return 0;
  return isUnreadableValue(rc) ? kCredNotReadable : reportPbeFailure(rc);
}

// The first line of each finding, for the closing message.
struct Findings {
  int64_t changed = 0;       // the first line orvseal would protect or drop
  KeystoreLine heldBack;     // the first plaintext behind a YES flag (number 0: none)
  KeystoreLine unreadable;   // the first value this key cannot read (number 0: none)
};

}  // namespace

int32_t runCheck(const CredOptions& options) {
  Keystore keystore;
  InitialKey key;
  int32_t rc = locateKeystore(options.keystoreFile, &keystore);
  if (rc == kRunOk) rc = readKeystore(&keystore);
  if (rc == kRunOk) rc = settleInitialKey(keystore, options.keyFile, &key);
  if (rc != kRunOk) return rc;

  MasterKeys keys;
  Findings found;
  KeystoreLines lines(keystore.text, keystore.length);
  for (KeystoreLine line; rc == 0 && lines.next(&line);) {
    LineAction action = lineAction(line);
    if (action == LineAction::kDrop || action == LineAction::kProtect) {
      if (found.changed == 0) found.changed = line.number;
    }
    if (line.kind != LineKind::kCredential) continue;
    const char* state = kStatePlaintext;
    if (action == LineAction::kKeepHeldBack) {
      state = kStateFlaggedPlaintext;
      if (found.heldBack.number == 0) found.heldBack = line;
    } else if (action == LineAction::kKeepProtected) {
      rc = readable(keys, key, line);
      state = rc == 0 ? kStateProtected : kStateNotReadable;
      if (rc == kCredNotReadable) {
        rc = 0;
        if (found.unreadable.number == 0) found.unreadable = line;
      }
      if (rc != 0) break;
    }
    std::printf("%s:%lld: %.*s: %s\n", keystore.path, static_cast<long long>(line.number),
                static_cast<int>(line.key.length), line.text + line.key.begin, state);
  }
  std::fflush(stdout);
  if (rc != 0) return rc;
  if (found.unreadable.number != 0) {
    ORV_LINE_MESSAGE(kMsgNotReadable, keystore.path, found.unreadable);
    return kCredNotReadable;
  }
  if (found.heldBack.number != 0) {
    ORV_LINE_MESSAGE(kMsgPlaintextBehindFlag, keystore.path, found.heldBack);
    return kCredHeldBack;
  }
  if (found.changed != 0) {
    ORV_MESSAGE(kMsgPlaintextFound, numberMessage(found.changed, keystore.path));
    return kCredPlaintext;
  }
  ORV_MESSAGE(kMsgAllProtected, textMessage(keystore.path));
  return kRunOk;
}
