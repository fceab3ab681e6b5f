#ifndef ORV_CMD_SHELL_KEYSTORE_H_
#define ORV_CMD_SHELL_KEYSTORE_H_

#include <cstddef>
#include <cstdint>

#include "lib/orv/config_access.h"
#include "lib/orv/keystore_line.h"
#include "lib/orvcred/initial_key.h"
#include "platform/files.h"

// The keystore that a run of either command works on, found, read and keyed
// by one set of rules, each failure reported with the same message and
// result by both commands.

// The keystore file and its whole text, read once (readKeystoreFile);
// every later step of the run works on this text. Its path is walked once,
// the folder that holds it and the file read are held open until it is
// replaced, so that the run replaces that file or none.
struct Keystore : KeystoreFile {
  const char* path = nullptr;             // as the user gave it, for messages
  char pathBuffer[kConfigPathSize] = {};  // a located path
};

// The keystore path: `keystoreFile` (-f) when given, else VKT_KEYSTORE_CONF,
// else keystore.conf in the per-user folder. 0, or the code of
// findConfigFilePath (15, 16 with ORV9112E).
int32_t locateKeystore(const char* keystoreFile, Keystore* keystore);

// Walks the keystore's path once, opens the file at its end, reads it
// whole and refuses what no reader may take. 0; 23 (another user's link:
// ORV9118E); 12 (no regular file: ORV9113E; unreadable or empty: ORV9062E);
// 16 (ORV9109E); 19 (no text of its form: ORV910AE, ORV910DE, ORV910EE,
// ORV9116E); 21 (words between a credential's key and '=': ORV910FE).
int32_t readKeystore(Keystore* keystore);

// The initial key by the rule every reader shares (chooseInitialKey): the
// key file `keyFile` when given, else VKT_ORVCRED_KEYFILE, else the
// keystore's orvcred.keyfile, else the built-in default key (ORV6339W).
// Traces what it looked at; reports why it cannot settle one: 11
// (ORV9111E), 12, 15 (ORV9060E), 16 (ORV9112E) for an unusable
// orvcred.keyfile, 80-84 for a key file (ORV6335E, which says what was
// tried and why, ORV633AE, ORV633BE, ORV9113E). `role` names the key in
// messages: "initial", or "new" for the key that rekey moves values to.
int32_t settleInitialKey(const Keystore& keystore, const char* keyFile, InitialKey* key,
                         const char* role = "initial");

// Walks `path` (osWalkPath) for a file the run writes, reporting why it
// cannot: 0; kRunSteered for a link of another user (ORV9118E);
// kConfigPathTooLong (ORV9109E); kRunCannotOpen (ORV9106E).
int32_t walkForWriting(const char* path, WalkedPath* at);

// Shows a message about one line of the keystore: numeric insert 1 its
// number, text insert 1 the keystore, text insert 2 its key (never its
// value, which may be a credential), text insert 3 the line of the flag
// line that holds a plaintext credential back (0 for none).
void showLineMessage(uint32_t number, const char* keystorePath, const KeystoreLine& line,
                     int32_t sourceLine);
#define ORV_LINE_MESSAGE(number, keystorePath, line) \
  showLineMessage((number), (keystorePath), (line), __LINE__)

#endif  // ORV_CMD_SHELL_KEYSTORE_H_
