// orvcred rekey: every credential protected again under a new initial key,
// all or nothing, the keystore replaced as orvseal replaces it.
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "cmd/orvcred/command.h"
#include "cmd/orvcred/orvcred.h"
#include "cmd/shell/keystore.h"
#include "cmd/shell/replacement.h"
#include "cmd/shell/rewriter.h"
#include "cmd/shell/shell.h"
#include "lib/orv/keystore_line.h"
#include "lib/orvcred/master_keys.h"
#include "platform/files.h"
#include "platform/pbe.h"

namespace {


// Everything a rekey run holds.
struct Rekey {
  const CredOptions* options = nullptr;
  Keystore keystore;
  InitialKey currentKey;
  InitialKey newKey;
  MasterKeys current;
  Protection next;   // the new key's
  // The keystore's orvcred.keyfile line when it names the current key file:
  // its value becomes the new key file's name.
  int64_t keyFileLine = 0;
};

// Whether the keystore's orvcred.keyfile line names the current key file:
// it is where the key came from, or it names the same file.
bool namesCurrentKeyFile(const Rekey& run, const KeystoreLine& line) {
  if (run.currentKey.isDefault || line.entry != EntryKind::kEntry) return false;
  if (run.currentKey.source == InitialKeySource::kKeystore) return true;
  char name[kConfigPathSize];
  char path[kConfigPathSize];
  if (line.entryValue.length >= sizeof name) return false;
  std::memcpy(name, line.text + line.entryValue.begin, line.entryValue.length);
  name[line.entryValue.length] = '\0';
  bool same = false;
  return keystoreRelativePath(run.keystore.where.text, name, path) == kConfigOk &&
         osSameFile(path, run.currentKey.keyFilePath, &same) == 0 && same;
}

// Whether the rewritten orvcred.keyfile line reads back, by the rule every
// reader uses, as the new key file: a name with a line end, a '#' after a
// blank, blanks at its ends or more than 260 characters would be read as
// another name, and a relative name that the keystore's folder makes
// another file would name another file.
bool readsBack(const Rekey& run, const KeystoreLine& line) {
  const char* name = run.options->newKeyFile;
  // The line as it will be written, without its line end.
  SecretText text;
  writeLineWith(text, line, line.entryValue, name, std::strlen(name), LineEnd::kAsRead);
  size_t length = text.size() - (line.hasEnding ? std::strlen(line.ending) : 0);
  TextCheck check;
  KeystoreLine read;
  if (!text.complete() || keystoreFault(text.data(), length, &check, &read) != 0) return false;
  KeystoreLines lines(text.data(), length);
  if (!lines.next(&read) || lines.next(&read) || read.entry != EntryKind::kEntry ||
      read.entryValue.length != std::strlen(name) ||
      osPathLength(name) > kConfigPathMaxLength ||
      std::memcmp(read.text + read.entryValue.begin, name, read.entryValue.length) != 0) {
    return false;
  }
  char path[kConfigPathSize];
  WalkedPath typed;
  bool same = false;
  // A missing or unreachable key file is reported when it is read.
  return keystoreRelativePath(run.keystore.where.text, name, path) == kConfigOk &&
         (osWalkPath(name, nullptr, &typed, nullptr, 0) != 0 || !typed.exists ||
          (osSameFile(path, name, &same) == 0 && same));
}

// The first pass, before any file is touched: every protected value must
// read with the current key, and a key file name written back must read
// back as itself.
int32_t prove(Rekey& run) {
  KeystoreLines lines(run.keystore.text, run.keystore.length);
  for (KeystoreLine line; lines.next(&line);) {
    if (lineAction(line) == LineAction::kKeepProtected) {
      char* plaintext = nullptr;
      int32_t plaintextLength = 0;
      int32_t rc = restoreValue(run.current, run.currentKey, line, &plaintext, &plaintextLength);
      svcPbeFreeBuf(plaintext, plaintextLength);
      if (rc == kCredNotReadable) ORV_LINE_MESSAGE(kMsgNotReadable, run.keystore.path, line);
      if (rc != 0) return rc;
    } else if (line.entry == EntryKind::kEntry && lineKeyIs(line, kKeyFileEntry) &&
               namesCurrentKeyFile(run, line)) {
      if (!readsBack(run, line)) {
        ORV_MESSAGE(kMsgKeyFileNameUnwritable,
                    textMessage(run.options->newKeyFile, run.keystore.path));
        return kRunBadCommandLine;
      }
      run.keyFileLine = line.number;
    }
  }
  return 0;
}

// Whether the new text would be the keystore's: the same key and
// algorithm, nothing to protect or drop, and the key file line as it is.
bool nothingToDo(const Rekey& run) {
  const InitialKey& current = run.currentKey;
  const InitialKey& next = run.newKey;
  if (current.length != next.length || std::memcmp(current.bytes, next.bytes, next.length) != 0) {
    return false;
  }
  KeystoreLines lines(run.keystore.text, run.keystore.length);
  for (KeystoreLine line; lines.next(&line);) {
    if (rewriteChanges(line)) return false;
    if (lineAction(line) == LineAction::kKeepProtected &&
        protectedTextAlgorithm(line.text + line.value.begin, line.value.length) !=
            run.options->algorithm) {
      return false;
    }
    if (line.number == run.keyFileLine &&
        (line.entryValue.length != std::strlen(run.options->newKeyFile) ||
         std::memcmp(line.text + line.entryValue.begin, run.options->newKeyFile,
                     line.entryValue.length) != 0)) {
      return false;
    }
  }
  return true;
}

// What rekey writes itself in the new text: the key file line with the new
// name, and every protected value protected again under the new key; the
// rest as orvseal writes it.
int32_t writeOwnLine(void* state, TextOutput& out, const KeystoreLine& line, bool* written) {
  Rekey& run = *static_cast<Rekey*>(state);
  if (line.number == run.keyFileLine) {
    const char* name = run.options->newKeyFile;
    writeLineWith(out, line, line.entryValue, name, std::strlen(name));
    *written = true;
    return 0;
  }
  if (lineAction(line) != LineAction::kKeepProtected) return 0;
  char* plaintext = nullptr;
  int32_t plaintextLength = 0;
  char* protectedText = nullptr;
  int32_t protectedLength = 0;
  int32_t rc = restoreValue(run.current, run.currentKey, line, &plaintext, &plaintextLength);
  if (rc == 0) {
    rc = run.next.protect(plaintext, static_cast<size_t>(plaintextLength), &protectedText,
                          &protectedLength);
    if (rc != 0) reportPbeFailure(rc);
  }
  svcPbeFreeBuf(plaintext, plaintextLength);
  if (rc != 0) return rc;
  writeLineWith(out, line, line.value, protectedText, static_cast<size_t>(protectedLength));
  svcPbeFreeBuf(protectedText, protectedLength);
  *written = true;
  return 0;
}

}  // namespace

int32_t runRekey(const CredOptions& options) {
  Rekey run;
  run.options = &options;
  int32_t rc = locateKeystore(options.keystoreFile, &run.keystore);
  if (rc == kRunOk) rc = readKeystore(&run.keystore);
  if (rc == kRunOk) rc = settleInitialKey(run.keystore, options.keyFile, &run.currentKey);
  if (rc == kRunOk) rc = prove(run);
  if (rc == kRunOk) rc = settleInitialKey(run.keystore, options.newKeyFile, &run.newKey, "new");
  if (rc == kRunOk && nothingToDo(run)) {
    ORV_MESSAGE(kMsgNothingToDo, textMessage(run.keystore.path, options.newKeyFile));
    return kRunOk;
  }
  if (rc == kRunOk) rc = startProtection(run.newKey, options.algorithm, &run.next);
  if (rc == kRunOk) {
    Replacement out;
    FILE* model = std::exchange(run.keystore.file, nullptr);
    rc = out.begin(run.keystore.where, model, &run.keystore.id, run.keystore.path);
    if (rc == kRunOk) {
      rc = rewriteKeystore(out, run.next, run.keystore.text, run.keystore.length,
                           KeystoreWriter{writeOwnLine, &run});
    }
    if (rc == kRunOk) rc = out.commit();
  }
  if (rc == kRunOk) {
    ORV_MESSAGE(kMsgRekeyed, textMessage(run.keystore.path, options.newKeyFile));
  }
  return rc;
}
