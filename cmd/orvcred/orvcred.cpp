// The orvcred command's entry: reads the command line and runs one
// subcommand; and reveal, the smallest of them.
#include "cmd/orvcred/orvcred.h"

#include <cstdio>
#include <cstring>
#include <iterator>

#include "cmd/orvcred/command.h"
#include "cmd/shell/keystore.h"
#include "cmd/shell/options.h"
#include "cmd/shell/shell.h"
#include "lib/orvcred/keystore_reader.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/version.h"

namespace {

enum class Subcommand { kNone, kCheck, kReveal, kRekey, kGenkey, kVersion };

// Which options and operand a subcommand takes.
struct Grammar {
  const char* name;
  Subcommand subcommand;
  bool keystoreOptions;  // -f, -sf
  bool rekeyOptions;     // -nf, -sp
  bool operand;          // KEY or FILE
};

constexpr Grammar kGrammars[] = {
    {"check", Subcommand::kCheck, true, false, false},
    {"reveal", Subcommand::kReveal, true, false, true},
    {"rekey", Subcommand::kRekey, true, true, false},
    {"genkey", Subcommand::kGenkey, false, false, true},
    {"version", Subcommand::kVersion, false, false, false},
};

// Reads the command line into options. Returns the grammar's subcommand, or
// kNone after showing the usage (and the argument at fault, if any).
Subcommand readCommandLine(int32_t argc, char** argv, CredOptions* options) {
  const Grammar* grammar = nullptr;
  for (const Grammar& candidate : kGrammars) {
    if (argc > 1 && std::strcmp(argv[1], candidate.name) == 0) grammar = &candidate;
  }
  int32_t fault = grammar == nullptr && argc > 1 ? 1 : 0;
  if (grammar != nullptr) {
    OptionSpec specs[4];
    size_t count = 0;
    if (grammar->keystoreOptions) {
      specs[count++] = {"f", &options->keystoreFile};
      specs[count++] = {"sf", &options->keyFile};
    }
    if (grammar->rekeyOptions) {
      specs[count++] = {"nf", &options->newKeyFile};
      specs[count++] = {"sp", nullptr, &options->algorithm, 1, 2};
    }
    fault = readOptions(argc, argv, 2, specs, count, grammar->operand ? &options->operand : nullptr);
  }
  bool complete = grammar != nullptr && fault == 0 &&
                  (!grammar->operand || options->operand != nullptr) &&
                  (!grammar->rekeyOptions || options->newKeyFile != nullptr);
  if (complete) return grammar->subcommand;
  if (fault != 0) ORV_MESSAGE(kMsgBadOption, textMessage(argv[fault], "orvcred"));
  ORV_MESSAGE(kMsgCredUsage, messageRecord());
  return Subcommand::kNone;
}

// The version alone on standard output, for scripts.
int32_t runVersion() {
  std::printf("%s\n", ORV_VERSION);
  return std::fflush(stdout) == 0 ? kRunOk : kRunWriteFailed;
}

int32_t runCommand(int32_t argc, char** argv) {
  CredOptions options;
  switch (readCommandLine(argc, argv, &options)) {
    case Subcommand::kCheck: return runCheck(options);
    case Subcommand::kReveal: return runReveal(options);
    case Subcommand::kRekey: return runRekey(options);
    case Subcommand::kGenkey: return runGenkey(options);
    case Subcommand::kVersion: return runVersion();
    case Subcommand::kNone: break;
  }
  return kRunBadCommandLine;
}

}  // namespace

int32_t runReveal(const CredOptions& options) {
  Keystore keystore;
  InitialKey key;
  int32_t rc = locateKeystore(options.keystoreFile, &keystore);
  if (rc == kRunOk) rc = readKeystore(&keystore);
  if (rc == kRunOk) rc = settleInitialKey(keystore, options.keyFile, &key);
  if (rc != kRunOk) return rc;
  orvcred_keystore* handle = nullptr;
  rc = openKeystoreText(keystore.text, keystore.length, key, &handle);
  key.release();
  if (rc == ORVCRED_NO_MEMORY) {
    ORV_MESSAGE(kMsgNoMemory, messageRecord());
    return kMemoryNoMemory;
  }
  if (rc != ORVCRED_OK) return reportPbeFailure(rc);
  char* value = nullptr;
  size_t length = 0;
  rc = orvcred_get(handle, options.operand, &value, &length);
  orvcred_close(handle);
  if (rc == ORVCRED_MISSING_KEY) {
    ORV_MESSAGE(kMsgMissingParam, textMessage(keystore.path, options.operand));
  } else if (rc == ORVCRED_DUPLICATE_KEY) {
    ORV_MESSAGE(kMsgDuplicateParam, textMessage(keystore.path, options.operand));
  } else if (rc == ORVCRED_NOT_READABLE) {
    ORV_MESSAGE(kMsgNotReadable, textMessage(keystore.path, options.operand));
  } else if (rc == ORVCRED_NO_MEMORY) {
    ORV_MESSAGE(kMsgNoMemory, messageRecord());
    rc = kMemoryNoMemory;
  } else if (rc == ORVCRED_OK) {
    osWriteFile(value, 1, length, stdout);
    osWriteFile("\n", 1, 1, stdout);
    if (std::fflush(stdout) != 0) rc = kRunWriteFailed;
  }
  orvcred_free_value(value);
  return rc;
}

int32_t orvcredMain(int32_t argc, char** argv) {
  // reveal's and version's standard output is the value alone, for scripts.
  bool scripted = argc > 1 && (std::strcmp(argv[1], "reveal") == 0 ||
                               std::strcmp(argv[1], "version") == 0);
  Program program = {"orvcred", "cmd/orvcred/orvcred", kOrvcredFunctionNumber, runCommand,
                     scripted};
  return runProgram(program, argc, argv);
}
