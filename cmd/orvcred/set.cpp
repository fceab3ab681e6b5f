// orvcred set: new values, read from standard input, protected straight
// into their lines of the keystore. No value of theirs is ever written in
// plain text; every other byte of the file stays as it was.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "cmd/orvcred/command.h"
#include "cmd/orvcred/orvcred.h"
#include "cmd/shell/keystore.h"
#include "cmd/shell/replacement.h"
#include "cmd/shell/rewriter.h"
#include "cmd/shell/shell.h"
#include "lib/orv/keystore_line.h"
#include "lib/orvcred/master_keys.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/pbe.h"
#include "platform/runtime.h"

namespace {

// The longest value, in bytes, and room for its NUL.
constexpr size_t kValueMaxLength = 4096;

// One NAME of the command line and what becomes of it.
struct NewValue {
  NewValue() = default;
  ~NewValue() { osSecureWipe(value, sizeof value); }
  NewValue(const NewValue&) = delete;
  NewValue& operator=(const NewValue&) = delete;

  const char* name = nullptr;
  const char* flagKey = nullptr;  // the flag line that says the value is protected
  char value[kValueMaxLength + 1] = {};
  size_t length = 0;
  int64_t line = 0;      // the line that holds it now; 0: it is appended
  bool hasFlag = false;  // the line before it is its flag line, saying YES
  int64_t dropLine = 0;  // the line before it is its flag line, saying anything else
  bool changed = true;
};

// Everything a set run holds.
struct SetRun {
  explicit SetRun(size_t names) : values(names) {}

  Keystore keystore;
  InitialKey key;
  Protection protection;  // reads the values there are and protects the new ones
  std::vector<NewValue> values;  // sized once: the values never move
  // Per line of the keystore (from 1): whether it is a plaintext left
  // behind a flag line that says YES.
  std::vector<bool> heldBack;
  const char* ending = kLineEnd;  // the keystore's line end
  bool lastLineEnded = true;
  // Per line of the new text: the keystore line it was, 0 for a new line.
  std::vector<int64_t> origin;
};

// The line "NAME = x", classified: a credential line whose key is NAME
// alone, so that NAME reads back as itself from any line that holds it.
bool readAsCredentialKey(const char* name, KeystoreLine* line, std::string* text) {
  *text = std::string(name) + " = x";
  KeystoreLines lines(text->data(), text->size());
  KeystoreLine extra;
  return lines.next(line) && !lines.next(&extra) && line->kind == LineKind::kCredential &&
         line->key.begin == 0 && line->key.length == std::strlen(name);
}

// Takes the NAMEs: each a credential key, none given twice.
int32_t takeNames(const CredOptions& options, SetRun& run) {
  for (size_t i = 0; i < options.operands.size(); ++i) {
    const char* name = options.operands[i];
    KeystoreLine line;
    std::string text;
    if (!readAsCredentialKey(name, &line, &text)) {
      ORV_MESSAGE(kMsgNotCredentialKey, textMessage(name));
      return kRunBadCommandLine;
    }
    for (size_t j = 0; j < i; ++j) {
      if (std::strcmp(run.values[j].name, name) == 0) {
        ORV_MESSAGE(kMsgValueRefused, textMessage(name, "is asked for twice"));
        return kRunBadCommandLine;
      }
    }
    run.values[i].name = name;
    run.values[i].flagKey = line.flagKey;
  }
  return kRunOk;
}

// Whether `line` holds NAME's value: a credential line of that key, or
// "NAME =" with no value yet.
bool holdsName(const KeystoreLine& line, const char* name) {
  if (!lineKeyIs(line, name)) return false;
  return line.kind == LineKind::kCredential ||
         (line.entry == EntryKind::kUnreadable && line.entryKey.length == line.key.length);
}

// Finds the line of each NAME, and its flag line just before it; refuses a
// NAME that stands on two lines.
int32_t findLines(SetRun& run) {
  KeystoreLines lines(run.keystore.text, run.keystore.length);
  KeystoreLine previous;
  run.heldBack.push_back(false);
  for (KeystoreLine line; lines.next(&line); previous = line) {
    run.heldBack.push_back(lineAction(line) == LineAction::kKeepHeldBack);
    run.ending = line.ending;
    run.lastLineEnded = line.hasEnding;
    for (NewValue& value : run.values) {
      if (!holdsName(line, value.name)) continue;
      if (value.line != 0) {
        MessageRecord record = numberMessage(line.number, run.keystore.path);
        std::string first = std::to_string(value.line);
        record.textInsert2 = value.name;
        record.textInsert3 = first.c_str();
        ORV_MESSAGE(kMsgNameTwice, record);
        return kCredDuplicateKey;
      }
      value.line = line.number;
      if (previous.kind == LineKind::kFlag && lineKeyIs(previous, value.flagKey)) {
        value.hasFlag = previous.flagSaysYes;
        value.dropLine = previous.flagSaysYes ? 0 : previous.number;
      }
    }
  }
  return kRunOk;
}

// Reads one value a line from standard input, in the NAMEs' order; from a
// terminal, asked for twice without echo.
int32_t readValues(SetRun& run) {
  bool terminal = osInputIsTerminal();
  char again[kValueMaxLength + 1];
  for (NewValue& value : run.values) {
    std::string prompt = std::string("Value for ") + value.name + ": ";
    int32_t error =
        osReadSecretLine(prompt.c_str(), value.value, sizeof value.value, &value.length);
    const char* refusal = nullptr;
    if (error == 0 && terminal) {
      size_t length = 0;
      error = osReadSecretLine("The same value again: ", again, sizeof again, &length);
      if (error == 0 &&
          (length != value.length || std::memcmp(again, value.value, length) != 0)) {
        refusal = "was not typed the same twice";
      }
      osSecureWipe(again, sizeof again);
    }
    if (error == ENODATA) {
      refusal = "is missing: the input ended before it (give one line for each name)";
    } else if (error == E2BIG) {
      refusal = "is longer than 4096 bytes";
    } else if (error != 0) {
      ORV_MESSAGE(kMsgCannotOpen, numberMessage(error, "standard input"));
      return kRunCannotOpen;
    } else if (value.length == 0 && refusal == nullptr) {
      refusal = "is empty";
    } else if (std::memchr(value.value, '\0', value.length) != nullptr ||
               std::memchr(value.value, '\r', value.length) != nullptr) {
      refusal = "holds a NUL byte or a carriage return";
    }
    if (refusal != nullptr) {
      ORV_MESSAGE(kMsgValueRefused, textMessage(value.name, refusal));
      return kCredBadValue;
    }
  }
  return kRunOk;
}

// Whether the protected value on a line reads as `value` under the key:
// 0 (yes or no, in *same), kCredNotReadable, or the service's failure.
int32_t readsAs(SetRun& run, const KeystoreLine& line, const NewValue& value, bool* same) {
  char* plaintext = nullptr;
  int32_t plaintextLength = 0;
  int32_t rc = restoreValue(run.protection.keys, run.key, line, &plaintext, &plaintextLength);
  *same = rc == 0 && static_cast<size_t>(plaintextLength) == value.length &&
          std::memcmp(plaintext, value.value, value.length) == 0;
  svcPbeFreeBuf(plaintext, plaintextLength);
  return rc;
}

// A NAME whose protected value reads as the value given is unchanged; one
// the key cannot read is refused: the key would be wrong for the file.
int32_t compareValues(SetRun& run) {
  KeystoreLines lines(run.keystore.text, run.keystore.length);
  for (KeystoreLine line; lines.next(&line);) {
    if (lineAction(line) != LineAction::kKeepProtected) continue;
    for (NewValue& value : run.values) {
      if (value.line != line.number) continue;
      bool same = false;
      int32_t rc = readsAs(run, line, value, &same);
      if (rc == kCredNotReadable)
        ORV_MESSAGE(kMsgNotReadable, textMessage(run.keystore.path, value.name));
      if (rc != 0) return rc;
      value.changed = !same;
    }
  }
  return kRunOk;
}

// `value` protected under the run's key, written into the line's value
// (after "= " when the line has none yet), the rest of the line kept.
int32_t writeValueInto(SetRun& run, TextOutput& out, const KeystoreLine& line,
                       const NewValue& value) {
  char* protectedText = nullptr;
  int32_t protectedLength = 0;
  int32_t rc = run.protection.protect(value.value, value.length, &protectedText, &protectedLength);
  if (rc != 0) return reportPbeFailure(rc);
  LineSpan span = line.value;
  bool blank = false;
  if (line.kind != LineKind::kCredential) {
    span.length = line.length - span.begin;
    blank = span.begin > 0 && line.text[span.begin - 1] == '=';
  }
  std::string text = blank ? " " : "";
  text.append(protectedText, static_cast<size_t>(protectedLength));
  svcPbeFreeBuf(protectedText, protectedLength);
  if (!value.hasFlag) {
    KeystoreLine flagged = line;
    flagged.flagKey = value.flagKey;
    writeFlagLine(flagged, writeToOutput, &out);
    run.origin.push_back(0);
  }
  writeLineWith(out, line, span, text.data(), text.size(), LineEnd::kAsRead);
  run.origin.push_back(line.number);
  return 0;
}

// Writes one line of the keystore into the new text: a NAME's line with its
// new value, its flag line that did not say YES dropped, the rest as read.
int32_t writeLine(void* state, TextOutput& out, const KeystoreLine& line, bool* written) {
  SetRun& run = *static_cast<SetRun*>(state);
  *written = true;
  for (const NewValue& value : run.values) {
    if (!value.changed) continue;
    if (value.dropLine == line.number) return 0;
    if (value.line == line.number) return writeValueInto(run, out, line, value);
  }
  writeLineWith(out, line, LineSpan{line.length, 0}, nullptr, 0, LineEnd::kAsRead);
  run.origin.push_back(line.number);
  return 0;
}

// The new text: the keystore's lines, then a flag line and a line for each
// NAME it lacks, in its line ends.
int32_t compose(SetRun& run, SecretText& out) {
  int32_t rc = rewriteKeystore(out, run.protection, run.keystore.text, run.keystore.length,
                               KeystoreWriter{writeLine, &run});
  for (NewValue& value : run.values) {
    if (rc != 0 || value.line != 0) continue;
    if (!run.lastLineEnded) out.write(run.ending, std::strlen(run.ending));
    run.lastLineEnded = true;
    KeystoreLine line;
    std::string text;
    readAsCredentialKey(value.name, &line, &text);
    line.ending = run.ending;
    line.hasEnding = true;
    rc = writeValueInto(run, out, line, value);
  }
  if (rc == 0 && !out.complete()) {
    ORV_MESSAGE(kMsgNoMemory, messageRecord());
    rc = kMemoryNoMemory;
  }
  return rc;
}

// Reads the new text back before it replaces the keystore: each NAME on one
// line that reads as its value, and no other plaintext left behind a flag
// line that says YES that was not before.
int32_t proveComposed(SetRun& run, const SecretText& text) {
  KeystoreLines lines(text.data(), text.size());
  std::vector<int> found(run.values.size());
  for (KeystoreLine line; lines.next(&line);) {
    if (static_cast<size_t>(line.number) > run.origin.size()) return kRunInconsistent;
    int64_t origin = run.origin[static_cast<size_t>(line.number - 1)];
    bool named = false;
    for (size_t i = 0; i < run.values.size(); ++i) {
      NewValue& value = run.values[i];
      if (!holdsName(line, value.name)) continue;
      named = true;
      ++found[i];
      bool same = !value.changed;
      if (value.changed && lineAction(line) == LineAction::kKeepProtected &&
          readsAs(run, line, value, &same) != 0) {
        same = false;
      }
      if (!same) {
        ORV_MESSAGE(kMsgNotReadable, textMessage(run.keystore.path, value.name));
        return kCredNotReadable;
      }
    }
    if (!named && lineAction(line) == LineAction::kKeepHeldBack &&
        !run.heldBack[static_cast<size_t>(origin)]) {
      MessageRecord record = numberMessage(origin, run.keystore.path);
      std::string key(line.text + line.key.begin, line.key.length);
      record.textInsert2 = key.c_str();
      ORV_MESSAGE(kMsgWouldHoldBack, record);
      return kCredHeldBack;
    }
  }
  for (int count : found) {
    if (count != 1) return kRunInconsistent;
  }
  return kRunOk;
}

// NAME: changed or NAME: unchanged, one line each, on standard output.
int32_t report(const SetRun& run) {
  for (const NewValue& value : run.values) {
    std::printf("%s: %s\n", value.name, value.changed ? "changed" : "unchanged");
  }
  return std::fflush(stdout) == 0 ? kRunOk : kRunWriteFailed;
}

}  // namespace

int32_t runSet(const CredOptions& options) {
  SetRun run(options.operands.size());
  int32_t rc = takeNames(options, run);
  if (rc == kRunOk) rc = locateKeystore(options.keystoreFile, &run.keystore);
  if (rc == kRunOk) rc = readKeystore(&run.keystore);
  if (rc == kRunOk) rc = settleInitialKey(run.keystore, options.keyFile, &run.key);
  if (rc == kRunOk) rc = findLines(run);
  if (rc == kRunOk) rc = readValues(run);
  if (rc == kRunOk) rc = compareValues(run);
  if (rc != kRunOk) return rc;
  bool anyChanged = false;
  for (const NewValue& value : run.values) anyChanged = anyChanged || value.changed;
  if (!anyChanged) return report(run);
  // --check composes and reads back the new text as a run would, so that it
  // refuses what a run refuses; it only writes nothing.
  rc = startProtection(run.key, options.algorithm, &run.protection);
  SecretText text;
  if (rc == kRunOk) rc = compose(run, text);
  if (rc == kRunOk) rc = proveComposed(run, text);
  if (rc == kRunOk && !options.checkOnly) {
    Replacement out;
    FILE* model = std::exchange(run.keystore.file, nullptr);
    rc = out.begin(run.keystore.where, model, &run.keystore.id, run.keystore.path);
    if (rc == kRunOk) {
      out.write(text.data(), text.size());
      rc = out.commit();
    }
  }
  return rc == kRunOk ? report(run) : rc;
}
