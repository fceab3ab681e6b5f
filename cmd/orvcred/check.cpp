// orvcred check: for each keystore, one line per credential line,
// FILE:LINE: KEY: STATE (or one JSON document for them all), never a value;
// the exit code says what orvseal would do with the files, the worst first.
#include <cstdio>
#include <iterator>
#include <string>
#include <unordered_map>
#include <vector>

#include "cmd/orvcred/command.h"
#include "cmd/orvcred/orvcred.h"
#include "cmd/shell/keystore.h"
#include "cmd/shell/shell.h"
#include "lib/orv/keystore_line.h"
#include "lib/orvcred/master_keys.h"
#include "platform/pbe.h"

namespace {

constexpr const char* kStateProtected = "protected";
constexpr const char* kStateDefaultKey = "protected with the built-in key";
constexpr const char* kStateNotReadable = "protected, not readable with this key";
constexpr const char* kStatePlaintext = "plaintext";
constexpr const char* kStateFlaggedPlaintext = "plaintext behind a flag that says protected";
constexpr const char* kStateRepeated = "repeated";

// The results of check from the least to the most pressing; any other
// result (the file could not be checked at all) is worse than all of them.
constexpr int32_t kCheckOrder[] = {kRunOk,         kCredPlaintext,   kCredDefaultKey,
                                   kCredRepeated,  kCredHeldBack,    kCredNotReadable};

int rank(int32_t code) {
  for (int i = 0; i < static_cast<int>(std::size(kCheckOrder)); ++i) {
    if (kCheckOrder[i] == code) return i;
  }
  return static_cast<int>(std::size(kCheckOrder));
}

const char* meaning(int32_t code) {
  switch (code) {
    case kRunOk: return "orvseal would change nothing, and every value reads with this key";
    case kCredPlaintext: return "orvseal would protect a value or drop a flag line";
    case kCredDefaultKey: return "values are protected with the built-in key";
    case kCredRepeated: return "a credential key is given more than once";
    case kCredHeldBack: return "a plaintext stands behind a flag line that says YES";
    case kCredNotReadable: return "a protected value does not read with this key";
    default: return "the keystore could not be checked";
  }
}

// Whether the value reads back under this key: 0 (yes), kCredNotReadable,
// or the failure of the service, reported.
int32_t readable(MasterKeys& keys, const InitialKey& key, const KeystoreLine& line) {
  char* plaintext = nullptr;
  int32_t plaintextLength = 0;
  int32_t rc = restoreValue(keys, key, line, &plaintext, &plaintextLength);
  svcPbeFreeBuf(plaintext, plaintextLength);
  return rc;
}

struct CheckedLine {
  int64_t number;
  std::string key;
  const char* state;
};

struct CheckedFile {
  std::string path;
  // The key file the values were read with, as named (-sf, the environment,
  // or the keystore's orvcred.keyfile taken from its folder); empty for the
  // built-in key. Set also when that file could not be read.
  std::string keyFile;
  const char* keySource = nullptr;  // where the key was named; null: no key settled
  int32_t code = kRunOk;
  std::vector<CheckedLine> lines;
};

// A JSON string: quotes, backslashes and control characters escaped.
std::string jsonText(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

const char* sourceName(InitialKeySource source) {
  switch (source) {
    case InitialKeySource::kExplicit: return "option";
    case InitialKeySource::kEnvironment: return "environment";
    case InitialKeySource::kKeystore: return "keystore";
    case InitialKeySource::kDefault: break;
  }
  return "built-in";
}

// Checks one keystore and reports what it found; the file's result.
int32_t checkFile(const char* keystoreFile, const CredOptions& options, CheckedFile* checked) {
  Keystore keystore;
  InitialKey key;
  int32_t rc = locateKeystore(keystoreFile, &keystore);
  checked->path = keystore.path != nullptr ? keystore.path : "keystore.conf";
  if (rc == kRunOk) rc = readKeystore(&keystore);
  if (rc == kRunOk) {
    rc = settleInitialKey(keystore, options.keyFile, &key);
    if (key.keyFilePath != nullptr) checked->keyFile = key.keyFilePath;
    checked->keySource = sourceName(key.source);
  }
  if (rc != kRunOk) return rc;

  // How often each credential key is given, to tell a repeated one.
  std::unordered_map<std::string, int> keys;
  KeystoreLines lines(keystore.text, keystore.length);
  for (KeystoreLine line; lines.next(&line);) {
    if (line.kind == LineKind::kCredential) ++keys[std::string(line.text + line.key.begin, line.key.length)];
  }
  MasterKeys masterKeys;
  int32_t code = kRunOk;
  KeystoreLine first[std::size(kCheckOrder)];
  lines = KeystoreLines(keystore.text, keystore.length);
  for (KeystoreLine line; lines.next(&line);) {
    LineAction action = lineAction(line);
    int32_t found = rewriteChanges(line) ? kCredPlaintext : kRunOk;
    if (line.kind == LineKind::kCredential) {
      std::string name(line.text + line.key.begin, line.key.length);
      const char* state = kStatePlaintext;
      if (action == LineAction::kKeepHeldBack) {
        state = kStateFlaggedPlaintext;
        found = kCredHeldBack;
      } else if (action == LineAction::kKeepProtected) {
        rc = readable(masterKeys, key, line);
        if (rc != 0 && rc != kCredNotReadable) return rc;
        found = rc != 0 ? kCredNotReadable : key.isDefault ? kCredDefaultKey : kRunOk;
        state = rc != 0 ? kStateNotReadable : key.isDefault ? kStateDefaultKey : kStateProtected;
      }
      if (keys[name] > 1 && rank(found) < rank(kCredRepeated)) {
        state = kStateRepeated;
        found = kCredRepeated;
      }
      checked->lines.push_back({line.number, name, state});
    }
    if (found != kRunOk && first[rank(found)].number == 0) first[rank(found)] = line;
    if (rank(found) > rank(code)) code = found;
  }
  const KeystoreLine& at = first[rank(code)];
  switch (code) {
    case kCredNotReadable: ORV_LINE_MESSAGE(kMsgNotReadable, keystore.path, at); break;
    case kCredHeldBack: ORV_LINE_MESSAGE(kMsgPlaintextBehindFlag, keystore.path, at); break;
    case kCredRepeated: ORV_LINE_MESSAGE(kMsgRepeatedCredential, keystore.path, at); break;
    case kCredDefaultKey: ORV_MESSAGE(kMsgDefaultKeyValues, textMessage(keystore.path)); break;
    case kCredPlaintext:
      ORV_MESSAGE(kMsgPlaintextFound, numberMessage(at.number, keystore.path));
      break;
    default: ORV_MESSAGE(kMsgAllProtected, textMessage(keystore.path)); break;
  }
  return code;
}

}  // namespace

int32_t restoreValue(MasterKeys& keys, const InitialKey& key, const KeystoreLine& line,
                     char** plaintext, int32_t* plaintextLength) {
  int32_t rc = keys.restoreWith(key, line.text + line.value.begin, line.value.length, plaintext,
                                plaintextLength);
  if (rc == 0) return 0;
  return isUnreadableValue(rc) ? kCredNotReadable : reportPbeFailure(rc);
}

int32_t runCheck(const CredOptions& options) {
  std::vector<const char*> files = options.keystoreFiles;
  if (files.empty()) files.push_back(nullptr);
  std::vector<CheckedFile> checked(files.size());
  int32_t worst = kRunOk;
  for (size_t i = 0; i < files.size(); ++i) {
    checked[i].code = checkFile(files[i], options, &checked[i]);
    if (rank(checked[i].code) > rank(worst)) worst = checked[i].code;
  }
  std::string out;
  if (options.json) {
    out = "{\"files\": [";
    for (size_t i = 0; i < checked.size(); ++i) {
      const CheckedFile& file = checked[i];
      out += std::string(i == 0 ? "" : ", ") + "{\"file\": " + jsonText(file.path) +
             ", \"exit\": " + std::to_string(file.code) + ", \"meaning\": " +
             jsonText(meaning(file.code)) + ", \"key_file\": " +
             (file.keyFile.empty() ? "null" : jsonText(file.keyFile)) + ", \"key_source\": " +
             (file.keySource == nullptr ? "null" : jsonText(file.keySource)) + ", \"lines\": [";
      for (size_t j = 0; j < file.lines.size(); ++j) {
        const CheckedLine& line = file.lines[j];
        out += std::string(j == 0 ? "" : ", ") + "{\"line\": " + std::to_string(line.number) +
               ", \"key\": " + jsonText(line.key) + ", \"state\": " + jsonText(line.state) + "}";
      }
      out += "]}";
    }
    out += "], \"exit\": " + std::to_string(worst) + ", \"meaning\": " + jsonText(meaning(worst)) +
           "}\n";
  } else {
    for (const CheckedFile& file : checked) {
      for (const CheckedLine& line : file.lines) {
        out += file.path + ":" + std::to_string(line.number) + ": " + line.key + ": " +
               line.state + "\n";
      }
    }
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  if (std::fflush(stdout) != 0 && worst == kRunOk) worst = kRunWriteFailed;
  return worst;
}
