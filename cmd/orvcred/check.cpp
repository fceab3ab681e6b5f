// orvcred check: for each keystore, one line per credential line,
// FILE:LINE: KEY: STATE (or one JSON document for them all), never a value;
// the exit code says what orvseal would do with the files, the worst first,
// or under --ci only whether there are findings (1) or a file could not be
// checked (2).
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <unordered_map>
#include <vector>

#include "cmd/orvcred/command.h"
#include "cmd/orvcred/orvcred.h"
#include "cmd/shell/keystore.h"
#include "cmd/shell/replacement.h"
#include "cmd/shell/shell.h"
#include "lib/orv/keystore_line.h"
#include "lib/orvcred/master_keys.h"
#include "platform/files.h"
#include "platform/pbe.h"
#include "platform/version.h"

namespace {

// The version of the JSON document's form (doc/check.schema.json).
constexpr int kSchemaVersion = 1;

// What check says of a credential line: a fixed identifier for scripts, a
// text for people, and the file's result that it makes.
struct LineState {
  const char* id;
  const char* text;
  int32_t code;
};

constexpr LineState kStateProtected = {"protected", "protected", kRunOk};
constexpr LineState kStateUnverified = {"protected-unverified", "protected, not read (--no-key)",
                                        kRunOk};
constexpr LineState kStateDefaultKey = {"default-key", "protected with the built-in key",
                                        kCredDefaultKey};
constexpr LineState kStateExampleKey = {"example-key", "protected with the example key",
                                        kCredDefaultKey};
constexpr LineState kStateNotReadable = {"unreadable-with-key",
                                         "protected, not readable with this key", kCredNotReadable};
constexpr LineState kStatePlaintext = {"plaintext", "plaintext", kCredPlaintext};
constexpr LineState kStateFlaggedPlaintext = {
    "behind-yes-flag", "plaintext behind a flag that says protected", kCredHeldBack};
constexpr LineState kStateRepeated = {"repeated", "repeated", kCredRepeated};

// What a file's result means, from the least to the most pressing; any
// other result (the file could not be checked at all) is worse than all.
// A finding's meaning is its result's (platform/results.h); a clean file's
// and a refused one's are check's own.
struct Outcome {
  int32_t code;
  const char* id;
  const char* meaning;
};

constexpr Outcome kOutcomes[] = {
    {kRunOk, "clean",
     "orvseal would change nothing, and every value read reads with this key (none under "
     "--no-key)"},
    {kCredPlaintext, "orvseal-would-change", nullptr},
    {kCredDefaultKey, "default-key", nullptr},
    {kCredRepeated, "repeated", nullptr},
    {kCredHeldBack, "behind-yes-flag", nullptr},
    {kCredNotReadable, "unreadable-with-key", nullptr},
};
constexpr Outcome kRefused = {-1, "refused", "the keystore could not be checked"};

int rank(int32_t code) {
  for (int i = 0; i < static_cast<int>(std::size(kOutcomes)); ++i) {
    if (kOutcomes[i].code == code) return i;
  }
  return static_cast<int>(std::size(kOutcomes));
}

const Outcome& outcome(int32_t code) {
  int i = rank(code);
  return i < static_cast<int>(std::size(kOutcomes)) ? kOutcomes[i] : kRefused;
}

const char* meaning(const Outcome& outcome) {
  return outcome.meaning != nullptr ? outcome.meaning : resultMeaning(outcome.code);
}

// Whether the values read with this key: 0 (yes), kCredNotReadable, or the
// failure of the service, reported.
int32_t readable(MasterKeys& keys, const InitialKey& key, const KeystoreLine& line) {
  char* plaintext = nullptr;
  int32_t plaintextLength = 0;
  int32_t rc = restoreValue(keys, key, line, &plaintext, &plaintextLength);
  svcPbeFreeBuf(plaintext, plaintextLength);
  return rc;
}

// The shipped example key, which is as public as the built-in one.
bool isExampleKey(const InitialKey& key) {
  size_t length = std::strlen(ORV_EXAMPLE_KEY);
  return !key.isDefault && key.bytes != nullptr && static_cast<size_t>(key.length) == length &&
         std::memcmp(key.bytes, ORV_EXAMPLE_KEY, length) == 0;
}

struct CheckedLine {
  int64_t number;
  std::string key;
  const LineState* state;
  bool accepted = false;  // a finding that the baseline accepts
};

// The findings accepted as they are: by file, key and state, never by line
// number, so that lines added or removed elsewhere do not disturb them. A
// baseline being written accepts every finding and keeps it.
struct Baseline {
  bool used = false;
  bool writing = false;
  std::unordered_map<std::string, int> accepted;  // entry -> how many more times
  std::string written;

  static std::string entry(const std::string& file, const std::string& key, const char* state) {
    std::string path = file;
    for (char& c : path) c = c == '\\' ? '/' : c;
    return path + "\t" + key + "\t" + state;
  }

  // Whether this finding is accepted; each entry accepts one finding.
  bool accepts(const std::string& file, const std::string& key, const char* state) {
    std::string line = entry(file, key, state);
    if (writing) {
      written += line + "\n";
      return true;
    }
    auto found = accepted.find(line);
    if (found == accepted.end() || found->second == 0) return false;
    --found->second;
    return true;
  }
};

struct CheckedFile {
  std::string path;
  // The key file the values were read with, as named (-sf, the environment,
  // or the keystore's orvcred.keyfile taken from its folder); empty for the
  // built-in key. Set also when that file could not be read.
  std::string keyFile;
  const char* keySource = nullptr;  // where the key was named; null: no key settled
  bool exampleKey = false;
  int32_t code = kRunOk;
  std::string refusal;  // why the file could not be checked, as shown
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
int32_t checkFile(const char* keystoreFile, const CredOptions& options, Baseline& baseline,
                  CheckedFile* checked) {
  Keystore keystore;
  InitialKey key;
  int32_t rc = locateKeystore(keystoreFile, &keystore);
  checked->path = keystore.path != nullptr ? keystore.path : "keystore.conf";
  if (rc == kRunOk) rc = readKeystore(&keystore);
  // Without the key, no key file is looked for: every finding that needs
  // none is found all the same.
  if (rc == kRunOk && !options.noKey) {
    rc = settleInitialKey(keystore, options.keyFile, &key);
    if (key.keyFilePath != nullptr) checked->keyFile = key.keyFilePath;
    checked->keySource = sourceName(key.source);
    checked->exampleKey = isExampleKey(key);
  }
  if (rc != kRunOk) return rc;

  // How often each credential key is given, to tell a repeated one.
  std::unordered_map<std::string, int> keys;
  KeystoreLines lines(keystore.text, keystore.length);
  for (KeystoreLine line; lines.next(&line);) {
    if (line.kind == LineKind::kCredential) {
      ++keys[std::string(line.text + line.key.begin, line.key.length)];
    }
  }
  MasterKeys masterKeys;
  int32_t code = kRunOk;
  KeystoreLine first[std::size(kOutcomes)];
  lines = KeystoreLines(keystore.text, keystore.length);
  for (KeystoreLine line; lines.next(&line);) {
    LineAction action = lineAction(line);
    int32_t found = rewriteChanges(line) ? kCredPlaintext : kRunOk;
    if (line.kind == LineKind::kCredential) {
      std::string name(line.text + line.key.begin, line.key.length);
      const LineState* state = &kStatePlaintext;
      if (action == LineAction::kKeepHeldBack) {
        state = &kStateFlaggedPlaintext;
      } else if (action == LineAction::kKeepProtected && options.noKey) {
        state = &kStateUnverified;
      } else if (action == LineAction::kKeepProtected) {
        rc = readable(masterKeys, key, line);
        if (rc != 0 && rc != kCredNotReadable) return rc;
        state = rc != 0            ? &kStateNotReadable
                : key.isDefault    ? &kStateDefaultKey
                : checked->exampleKey ? &kStateExampleKey
                                      : &kStateProtected;
      }
      if (keys[name] > 1 && rank(state->code) < rank(kCredRepeated)) state = &kStateRepeated;
      bool accepted = state->code != kRunOk && baseline.used &&
                      baseline.accepts(checked->path, name, state->id);
      found = accepted ? kRunOk : state->code;
      checked->lines.push_back({line.number, name, state, accepted});
    }
    if (found != kRunOk && first[rank(found)].number == 0) first[rank(found)] = line;
    if (rank(found) > rank(code)) code = found;
  }
  const KeystoreLine& at = first[rank(code)];
  switch (code) {
    case kCredNotReadable:
    case kCredHeldBack:
    case kCredRepeated: ORV_LINE_MESSAGE(resultMessage(code), keystore.path, at); break;
    case kCredDefaultKey:
      ORV_MESSAGE(checked->exampleKey ? kMsgExampleKeyValues : kMsgDefaultKeyValues,
                  textMessage(keystore.path));
      break;
    case kCredPlaintext:
      ORV_MESSAGE(kMsgPlaintextFound, numberMessage(at.number, keystore.path));
      break;
    default:
      if (!options.noKey) ORV_MESSAGE(kMsgAllProtected, textMessage(keystore.path));
      break;
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

namespace {

// The JSON document of every file checked: its form is doc/check.schema.json.
std::string jsonReport(const std::vector<CheckedFile>& checked, int32_t worst) {
  std::string out = "{\"schema_version\": " + std::to_string(kSchemaVersion) +
                    ", \"tool\": \"orvcred\", \"tool_version\": " + jsonText(ORV_VERSION) +
                    ", \"files\": [";
  for (size_t i = 0; i < checked.size(); ++i) {
    const CheckedFile& file = checked[i];
    const Outcome& result = outcome(file.code);
    const char* id = file.exampleKey && file.code == kCredDefaultKey ? kStateExampleKey.id
                                                                    : result.id;
    std::string message = "null";
    size_t colon = file.refusal.find(": ");
    if (&result == &kRefused && colon != std::string::npos) {
      message = "{\"id\": " + jsonText(file.refusal.substr(0, colon)) +
                ", \"text\": " + jsonText(file.refusal.substr(colon + 2)) + "}";
    }
    out += std::string(i == 0 ? "" : ", ") + "{\"file\": " + jsonText(file.path) +
           ", \"outcome\": " + jsonText(id) +
           ", \"exit\": " + std::to_string(resultExitCode(file.code)) +
           ", \"meaning\": " + jsonText(meaning(result)) + ", \"message\": " + message +
           ", \"key_file\": " + (file.keyFile.empty() ? "null" : jsonText(file.keyFile)) +
           ", \"key_source\": " + (file.keySource == nullptr ? "null" : jsonText(file.keySource)) +
           ", \"lines\": [";
    for (size_t j = 0; j < file.lines.size(); ++j) {
      const CheckedLine& line = file.lines[j];
      out += std::string(j == 0 ? "" : ", ") + "{\"line\": " + std::to_string(line.number) +
             ", \"key\": " + jsonText(line.key) + ", \"state\": " + jsonText(line.state->id) +
             ", \"state_text\": " + jsonText(line.state->text) +
             ", \"accepted\": " + (line.accepted ? "true" : "false") + "}";
    }
    out += "]}";
  }
  return out + "], \"outcome\": " + jsonText(outcome(worst).id) + ", \"exit\": " +
         std::to_string(resultExitCode(worst)) + ", \"meaning\": " +
         jsonText(meaning(outcome(worst))) + "}\n";
}

// A file's path as a SARIF artifact URI: a relative path stays relative to
// the working folder, with '/' between names; an absolute one becomes a
// file URI. Bytes other than letters, digits and "-._~/:" are escaped.
std::string sarifUri(const std::string& path) {
  std::string uri;
  bool drive = path.size() > 2 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
  if (drive || (!path.empty() && (path[0] == '/' || path[0] == '\\'))) {
    uri = drive ? "file:///" : "file://";
  }
  for (unsigned char c : path) {
    if (c == '\\') c = '/';
    if (std::isalnum(c) != 0 || std::strchr("-._~/:", c) != nullptr) {
      uri += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      uri += escaped;
    }
  }
  return uri;
}

std::string sarifLocation(const std::string& path, int64_t line) {
  return "{\"physicalLocation\": {\"artifactLocation\": {\"uri\": " + jsonText(sarifUri(path)) +
         "}" + (line > 0 ? ", \"region\": {\"startLine\": " + std::to_string(line) + "}" : "") +
         "}}";
}

// The findings as SARIF 2.1.0: a rule for each state that is a finding, a
// result for each line in such a state, and for a file that could not be
// checked a notification with its message.
std::string sarifReport(const std::vector<CheckedFile>& checked, bool baseline) {
  const LineState* findings[] = {&kStatePlaintext,     &kStateFlaggedPlaintext, &kStateNotReadable,
                                 &kStateRepeated,      &kStateDefaultKey,       &kStateExampleKey};
  auto level = [](const LineState* state) {
    return state->code == kCredDefaultKey || state->code == kCredRepeated ? "warning" : "error";
  };
  std::string rules;
  for (const LineState* state : findings) {
    rules += std::string(rules.empty() ? "" : ", ") + "{\"id\": " + jsonText(state->id) +
             ", \"shortDescription\": {\"text\": " + jsonText(state->text) +
             "}, \"defaultConfiguration\": {\"level\": \"" + level(state) + "\"}}";
  }
  std::string results;
  std::string notes;
  for (const CheckedFile& file : checked) {
    if (&outcome(file.code) == &kRefused) {
      notes += std::string(notes.empty() ? "" : ", ") +
               "{\"level\": \"error\", \"message\": {\"text\": " +
               jsonText(file.refusal.empty() ? kRefused.meaning : file.refusal) +
               "}, \"locations\": [" + sarifLocation(file.path, 0) + "]}";
    }
    for (const CheckedLine& line : file.lines) {
      if (line.state->code == kRunOk) continue;
      results += std::string(results.empty() ? "" : ", ") + "{\"ruleId\": " +
                 jsonText(line.state->id) +
                 (baseline ? line.accepted ? ", \"baselineState\": \"unchanged\""
                                           : ", \"baselineState\": \"new\""
                           : "") +
                 ", \"level\": \"" + level(line.state) +
                 "\", \"message\": {\"text\": " + jsonText(line.key + ": " + line.state->text) +
                 "}, \"locations\": [" + sarifLocation(file.path, line.number) + "]}";
    }
  }
  return "{\"$schema\": \"https://json.schemastore.org/sarif-2.1.0.json\", \"version\": "
         "\"2.1.0\", \"runs\": [{\"tool\": {\"driver\": {\"name\": \"orvcred\", \"version\": " +
         jsonText(ORV_VERSION) + ", \"rules\": [" + rules + "]}}, \"invocations\": "
         "[{\"executionSuccessful\": " + (notes.empty() ? "true" : "false") +
         ", \"toolExecutionNotifications\": [" + notes + "]}], \"results\": [" + results +
         "]}]}\n";
}

}  // namespace

namespace {

// Reads the baseline FILE: one accepted finding a line, FILE<tab>KEY<tab>STATE,
// '#' comments and blank lines aside. 0; kRunCannotOpen (ORV9106E); or
// kRunBadCommandLine for a line of another form (ORV9213E).
int32_t readBaseline(const char* path, Baseline* baseline) {
  baseline->used = true;
  KeystoreFile file;
  int32_t error = 0;
  if (readKeystoreFile(path, &file, &error) != kConfigOk && error != 0) {
    ORV_MESSAGE(kMsgCannotOpen, numberMessage(error, path));
    return kRunCannotOpen;
  }
  int64_t number = 0;
  for (size_t start = 0; start < file.length;) {
    const char* end =
        static_cast<const char*>(std::memchr(file.text + start, '\n', file.length - start));
    size_t stop = end != nullptr ? static_cast<size_t>(end - file.text) : file.length;
    std::string line(file.text + start, stop - start);
    start = stop + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    size_t first = line.find('\t');
    size_t second = first == std::string::npos ? first : line.find('\t', first + 1);
    if (second == std::string::npos || line.find('\t', second + 1) != std::string::npos) {
      ORV_MESSAGE(kMsgBadBaseline, numberMessage(number, path));
      return kRunBadCommandLine;
    }
    ++baseline->accepted[Baseline::entry(line.substr(0, first),
                                         line.substr(first + 1, second - first - 1),
                                         line.substr(second + 1).c_str())];
  }
  return kRunOk;
}

// Writes the findings of this run as the baseline FILE, replacing it as
// orvseal replaces a file.
int32_t writeBaseline(const char* path, const Baseline& baseline) {
  WalkedPath at;
  Replacement out;
  int32_t rc = walkForWriting(path, &at);
  if (rc == kRunOk) rc = out.beginFile(at, nullptr);
  if (rc != kRunOk) return rc;
  std::string text = "# Findings that orvcred check --baseline accepts: FILE<tab>KEY<tab>STATE.\n" +
                     baseline.written;
  out.write(text.data(), text.size());
  return out.commit();
}

}  // namespace

int32_t runCheck(const CredOptions& options) {
  Baseline baseline;
  if (options.writeBaseline != nullptr) {
    baseline.used = baseline.writing = true;
  } else if (options.baseline != nullptr) {
    int32_t rc = readBaseline(options.baseline, &baseline);
    if (rc != kRunOk) return rc;
  }
  // The files in a stable order: every -f, every FILE, then the files of
  // each -r folder in byte order of their paths. None at all: the keystore
  // orvseal would take.
  std::vector<const char*> files = options.keystoreFiles;
  files.insert(files.end(), options.operands.begin(), options.operands.end());
  std::vector<std::string> found;
  std::vector<CheckedFile> checked;
  for (const char* folder : options.folders) {
    size_t before = found.size();
    int32_t error = osFindFiles(folder, options.namePattern, &found);
    if (error != 0) {
      forgetLastError();
      ORV_MESSAGE(kMsgCannotOpen, numberMessage(error, folder));
      found.resize(before);
      checked.push_back(
          CheckedFile{folder, "", nullptr, false, kRunCannotOpen, lastErrorMessage(), {}});
    }
  }
  for (const std::string& path : found) files.push_back(path.c_str());
  if (files.empty() && checked.empty()) files.push_back(nullptr);
  int32_t worst = kRunOk;
  for (const CheckedFile& failed : checked) worst = failed.code;
  for (const char* file : files) {
    forgetLastError();
    CheckedFile& one = checked.emplace_back();
    one.code = checkFile(file, options, baseline, &one);
    if (&outcome(one.code) == &kRefused) one.refusal = lastErrorMessage();
    if (rank(one.code) > rank(worst)) worst = one.code;
  }
  std::string format = options.format != nullptr ? options.format : options.json ? "json" : "text";
  std::string out;
  if (format == "json") {
    out = jsonReport(checked, worst);
  } else if (format == "sarif") {
    out = sarifReport(checked, baseline.used && !baseline.writing);
  } else {
    for (const CheckedFile& file : checked) {
      for (const CheckedLine& line : file.lines) {
        out += file.path + ":" + std::to_string(line.number) + ": " + line.key + ": " +
               line.state->text + (line.accepted ? " (accepted)\n" : "\n");
      }
    }
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  if (std::fflush(stdout) != 0) return kRunWriteFailed;
  if (options.writeBaseline != nullptr) {
    int32_t rc = writeBaseline(options.writeBaseline, baseline);
    if (rc != kRunOk) return rc;
  }
  if (!options.ci) return worst;
  // The secret scanners' codes: 0 clean, 1 findings, 2 could not check. A
  // finding is a credential line's: a flag line that orvseal would drop, or
  // a last line without its line end, is none.
  bool findings = false;
  for (const CheckedFile& file : checked) {
    if (&outcome(file.code) == &kRefused) return kCheckFailed;
    for (const CheckedLine& line : file.lines) {
      findings = findings || (line.state->code != kRunOk && !line.accepted);
    }
  }
  return findings ? kCheckFindings : kRunOk;
}
