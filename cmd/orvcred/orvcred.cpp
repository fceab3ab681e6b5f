// The orvcred command's entry: reads the command line and runs one
// subcommand; and reveal, the smallest of them.
#include "cmd/orvcred/orvcred.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "cmd/orvcred/command.h"
#include "cmd/shell/keystore.h"
#include "cmd/shell/options.h"
#include "cmd/shell/shell.h"
#include "lib/orv/keystore_line.h"
#include "lib/orvcred/master_keys.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/pbe.h"
#include "platform/version.h"

namespace {

enum class Subcommand { kNone, kHelp, kCheck, kReveal, kSet, kRekey, kGenkey, kVersion };

// Which options and operands a subcommand takes.
struct Grammar {
  const char* name;
  Subcommand subcommand;
  bool keystoreOptions;  // -f, -sf
  bool rekeyOptions;     // -nf, -sp
  bool checkOptions;     // -f more than once, --json
  bool setOptions;       // --check
  int operands;          // 0, 1 (genkey's FILE), any number from 1 (reveal's KEYs) or
                         // any number at all (check's FILEs)
  const char* missing;   // what the command line lacks when an operand is missing
};

constexpr int kAnyNumber = -1;
constexpr int kAnyOrNone = -2;
constexpr Grammar kGrammars[] = {
    {"check", Subcommand::kCheck, true, false, true, false, kAnyOrNone, nullptr},
    {"reveal", Subcommand::kReveal, true, false, false, false, kAnyNumber, "the KEY to reveal"},
    {"set", Subcommand::kSet, true, false, false, true, kAnyNumber, "the NAME to set"},
    {"rekey", Subcommand::kRekey, true, true, false, false, 0, nullptr},
    {"genkey", Subcommand::kGenkey, false, false, false, false, 1, "the FILE to create"},
    {"version", Subcommand::kVersion, false, false, false, false, 0, nullptr},
    {"--version", Subcommand::kVersion, false, false, false, false, 0, nullptr},
    {"help", Subcommand::kHelp, false, false, false, false, 0, nullptr},
    {"--help", Subcommand::kHelp, false, false, false, false, 0, nullptr},
    {"-h", Subcommand::kHelp, false, false, false, false, 0, nullptr},
};

// Says what is wrong with the command line, then shows the usage, both on
// standard error.
Subcommand rejectCommandLine(uint32_t number, const MessageRecord& record) {
  ORV_MESSAGE(number, record);
  ORV_MESSAGE(kMsgCredUsage, messageRecord());
  return Subcommand::kNone;
}

// Reads the command line into options: the subcommand, then its options by
// their documented spellings and its operands. Returns the subcommand, or
// kNone after saying what is wrong.
Subcommand readCommandLine(int32_t argc, char** argv, CredOptions* options) {
  if (argc < 2) return rejectCommandLine(kMsgIncomplete, textMessage("a subcommand"));
  const Grammar* grammar = nullptr;
  for (const Grammar& candidate : kGrammars) {
    if (std::strcmp(argv[1], candidate.name) == 0) grammar = &candidate;
  }
  if (grammar == nullptr) return rejectCommandLine(kMsgBadOption, textMessage(argv[1], "orvcred"));
  OptionRule rules[13];
  size_t count = 0;
  if (grammar->keystoreOptions) {
    rules[count++] = {"f", &options->keystoreFile, nullptr, INT32_MIN, INT32_MAX, true, nullptr,
                      grammar->checkOptions ? &options->keystoreFiles : nullptr};
    rules[count++] = {"sf", &options->keyFile, nullptr, INT32_MIN, INT32_MAX, true};
  }
  if (grammar->rekeyOptions) {
    rules[count++] = {"nf", &options->newKeyFile, nullptr, INT32_MIN, INT32_MAX, true};
    rules[count++] = {"sp", nullptr, &options->algorithm, 1, 2, true};
  }
  if (grammar->checkOptions) {
    rules[count++] = {"-json", nullptr, nullptr, INT32_MIN, INT32_MAX, true, &options->json};
    rules[count++] = {"-no-key", nullptr, nullptr, INT32_MIN, INT32_MAX, true, &options->noKey};
    rules[count++] = {"-ci", nullptr, nullptr, INT32_MIN, INT32_MAX, true, &options->ci};
    rules[count++] = {"-format", &options->format, nullptr, INT32_MIN, INT32_MAX, true};
    rules[count++] = {"r", &options->folder, nullptr, INT32_MIN, INT32_MAX, true, nullptr,
                      &options->folders};
    rules[count++] = {"-name", &options->namePattern, nullptr, INT32_MIN, INT32_MAX, true};
    rules[count++] = {"-baseline", &options->baseline, nullptr, INT32_MIN, INT32_MAX, true};
    rules[count++] = {"-write-baseline", &options->writeBaseline, nullptr, INT32_MIN, INT32_MAX,
                      true};
  }
  if (grammar->setOptions) {
    rules[count++] = {"-check", nullptr, nullptr, INT32_MIN, INT32_MAX, true, &options->checkOnly};
  }
  int32_t fault = readOptions(argc, argv, 2, rules, count,
                              grammar->operands != 0 ? &options->operands : nullptr);
  size_t operands = options->operands.size();
  if (fault == 0 && grammar->operands == 1 && operands > 1) fault = argc - 1;
  if (fault != 0) return rejectCommandLine(kMsgBadOption, textMessage(argv[fault], "orvcred"));
  if ((grammar->operands == 1 || grammar->operands == kAnyNumber) && operands == 0) {
    return rejectCommandLine(kMsgIncomplete, textMessage(grammar->missing));
  }
  const char* format = options->format;
  if (format != nullptr && std::strcmp(format, "text") != 0 && std::strcmp(format, "json") != 0 &&
      std::strcmp(format, "sarif") != 0) {
    return rejectCommandLine(kMsgBadOption, textMessage(format, "orvcred"));
  }
  if (grammar->rekeyOptions && options->newKeyFile == nullptr) {
    return rejectCommandLine(kMsgIncomplete, textMessage("-nf with the new key file"));
  }
  return grammar->subcommand;
}

// The usage on standard output, for a user who asked for it.
int32_t runHelp() {
  char text[2048];
  formatMessage(kMsgCredUsage, nullptr, text, sizeof text);
  const char* usage = std::strstr(text, "Usage:");
  std::printf("%s\n", usage != nullptr ? usage : text);
  return std::fflush(stdout) == 0 ? kRunOk : kRunWriteFailed;
}

// The version alone on standard output, for scripts.
int32_t runVersion() {
  std::printf("%s\n", ORV_VERSION);
  return std::fflush(stdout) == 0 ? kRunOk : kRunWriteFailed;
}

int32_t runCommand(int32_t argc, char** argv) {
  // Standard output is data alone: the value, the check's lines, the usage
  // asked for; every message goes to standard error.
  svcSetMessagesOnStderr(true);
  CredOptions options;
  switch (readCommandLine(argc, argv, &options)) {
    case Subcommand::kCheck: return runCheck(options);
    case Subcommand::kReveal: return runReveal(options);
    case Subcommand::kSet: return runSet(options);
    case Subcommand::kRekey: return runRekey(options);
    case Subcommand::kGenkey: return runGenkey(options);
    case Subcommand::kVersion: return runVersion();
    case Subcommand::kHelp: return runHelp();
    case Subcommand::kNone: break;
  }
  return kRunBadCommandLine;
}

}  // namespace

namespace {

// The edit distance of two keys, to suggest what a mistyped one meant.
size_t distance(const char* a, size_t aLength, const char* b, size_t bLength) {
  std::vector<size_t> row(bLength + 1);
  for (size_t j = 0; j <= bLength; ++j) row[j] = j;
  for (size_t i = 1; i <= aLength; ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= bLength; ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1] ? 1 : 0)});
      diagonal = above;
    }
  }
  return row[bLength];
}

// " Keys near it: a, b." for the keys of the keystore nearest to `key`
// (at most three, none farther than a third of its length, at least 2);
// empty when none is near.
std::string nearestKeys(const Keystore& keystore, const char* key) {
  size_t length = std::strlen(key);
  size_t limit = std::max<size_t>(2, length / 3);
  std::vector<std::pair<size_t, std::string>> near;
  KeystoreLines lines(keystore.text, keystore.length);
  for (KeystoreLine line; lines.next(&line);) {
    if (line.entry != EntryKind::kEntry) continue;
    std::string candidate(line.text + line.entryKey.begin, line.entryKey.length);
    size_t d = distance(key, length, candidate.data(), candidate.size());
    bool known = std::any_of(near.begin(), near.end(),
                             [&](const auto& entry) { return entry.second == candidate; });
    if (d <= limit && !known) near.emplace_back(d, candidate);
  }
  std::stable_sort(near.begin(), near.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string text;
  for (size_t i = 0; i < near.size() && i < 3; ++i) {
    text += (i == 0 ? " Keys near it: " : ", ") + near[i].second;
  }
  return text.empty() ? text : text + ".";
}

}  // namespace

namespace {

// What reveal found for one KEY: its entry's line, or how many lines hold it.
struct Wanted {
  const char* key = nullptr;
  KeystoreLine line;
  int matches = 0;
  char* plaintext = nullptr;  // a protected value's, released with svcPbeFreeBuf
  int32_t plaintextLength = 0;
};

// Finds every KEY's entry in one pass over the keystore, as the library's
// configuration reader takes entries: key = value, by its whole key.
void findEntries(const Keystore& keystore, std::vector<Wanted>& wanted) {
  KeystoreLines lines(keystore.text, keystore.length);
  for (KeystoreLine line; lines.next(&line);) {
    if (line.entry != EntryKind::kEntry) continue;
    for (Wanted& entry : wanted) {
      if (line.entryKey.length == std::strlen(entry.key) &&
          std::memcmp(line.text + line.entryKey.begin, entry.key, line.entryKey.length) == 0 &&
          ++entry.matches == 1) {
        entry.line = line;
      }
    }
  }
}

// Reads each KEY's value: a protected credential's plaintext, any other
// value as it stands. The first KEY that has none is reported.
int32_t readValues(const Keystore& keystore, const InitialKey& key, std::vector<Wanted>& wanted) {
  MasterKeys keys;
  for (Wanted& entry : wanted) {
    if (entry.matches == 0) {
      std::string near = nearestKeys(keystore, entry.key);
      MessageRecord record = textMessage(keystore.path, entry.key);
      record.textInsert3 = near.c_str();
      ORV_MESSAGE(kMsgMissingParam, record);
      return kCredMissingKey;
    }
    if (entry.matches > 1) {
      ORV_MESSAGE(kMsgDuplicateParam, textMessage(keystore.path, entry.key));
      return kCredDuplicateKey;
    }
    if (lineAction(entry.line) != LineAction::kKeepProtected) continue;
    int32_t rc = restoreValue(keys, key, entry.line, &entry.plaintext, &entry.plaintextLength);
    if (rc == kCredNotReadable) ORV_MESSAGE(kMsgNotReadable, textMessage(keystore.path, entry.key));
    if (rc != 0) return rc;
  }
  return kRunOk;
}

}  // namespace

int32_t runReveal(const CredOptions& options) {
  Keystore keystore;
  InitialKey key;
  int32_t rc = locateKeystore(options.keystoreFile, &keystore);
  if (rc == kRunOk) rc = readKeystore(&keystore);
  if (rc == kRunOk) rc = settleInitialKey(keystore, options.keyFile, &key);
  if (rc != kRunOk) return rc;
  std::vector<Wanted> wanted(options.operands.size());
  for (size_t i = 0; i < wanted.size(); ++i) wanted[i].key = options.operands[i];
  findEntries(keystore, wanted);
  // Every value first: a script that reads them line by line gets all or none.
  rc = readValues(keystore, key, wanted);
  key.release();
  for (const Wanted& entry : wanted) {
    if (rc == kRunOk) {
      const KeystoreLine& line = entry.line;
      if (entry.plaintext != nullptr) {
        osWriteFile(entry.plaintext, 1, static_cast<size_t>(entry.plaintextLength), stdout);
      } else {
        osWriteFile(line.text + line.entryValue.begin, 1, line.entryValue.length, stdout);
      }
      osWriteFile("\n", 1, 1, stdout);
    }
    svcPbeFreeBuf(entry.plaintext, entry.plaintextLength);
  }
  if (rc == kRunOk && std::fflush(stdout) != 0) rc = kRunWriteFailed;
  return rc;
}

int32_t orvcredMain(int32_t argc, char** argv) {
  constexpr Program kOrvcred = {"orvcred", "cmd/orvcred/orvcred", kOrvcredFunctionNumber,
                                runCommand, true};
  return runProgram(kOrvcred, argc, argv);
}
