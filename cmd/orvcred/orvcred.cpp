// The orvcred command's entry: checks and starts the services, reads the
// command line and runs one subcommand; and what the subcommands share.
#include "cmd/orvcred/orvcred.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cmd/orvcred/command.h"
#include "lib/orv/config_access.h"
#include "lib/orv/config_syntax.h"
#include "lib/orv/param_lookup.h"
#include "lib/orvcred/keystore_reader.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/pbe.h"
#include "platform/program.h"
#include "platform/return_code.h"
#include "platform/trace.h"
#include "platform/version.h"

namespace {

SubpoolHandle credSubpool = {0, 0};

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

char foldCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The field an option names, by its first letters and in any case as
// orvseal reads them (-f, -file, -SF); null for no option of this grammar.
const char** optionField(const char* option, const Grammar& grammar, CredOptions* options,
                         bool* algorithm) {
  *algorithm = false;
  char first = foldCase(option[1]);
  char second = first == '\0' ? '\0' : foldCase(option[2]);
  if (grammar.keystoreOptions && first == 'f') return &options->keystoreFile;
  if (grammar.keystoreOptions && first == 's' && second == 'f') return &options->keyFile;
  if (grammar.rekeyOptions && first == 'n' && second == 'f') return &options->newKeyFile;
  if (grammar.rekeyOptions && first == 's' && second == 'p') {
    *algorithm = true;
    return &options->operand;  // not stored as text; see readAlgorithm
  }
  return nullptr;
}

bool readAlgorithm(const char* text, int32_t* algorithm) {
  if ((text[0] == '1' || text[0] == '2') && text[1] == '\0') {
    *algorithm = text[0] - '0';
    return true;
  }
  return false;
}

// Reads the command line into options. Returns the grammar's subcommand, or
// kNone after showing the usage (and the argument at fault, if any).
Subcommand readCommandLine(int32_t argc, char** argv, CredOptions* options) {
  const Grammar* grammar = nullptr;
  int32_t fault = 0;
  for (const Grammar& candidate : kGrammars) {
    if (argc > 1 && std::strcmp(argv[1], candidate.name) == 0) grammar = &candidate;
  }
  if (grammar == nullptr && argc > 1) fault = 1;
  for (int32_t i = 2; grammar != nullptr && fault == 0 && i < argc; ++i) {
    const char* argument = argv[i];
    if (argument[0] != '-' || argument[1] == '\0') {
      if (!grammar->operand || options->operand != nullptr || argument[0] == '\0') {
        fault = i;
      } else {
        options->operand = argument;
      }
      continue;
    }
    bool algorithm = false;
    const char** field = optionField(argument, *grammar, options, &algorithm);
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (field == nullptr || value == nullptr || value[0] == '-' || value[0] == '\0' ||
        (algorithm && !readAlgorithm(value, &options->algorithm))) {
      fault = i;
      continue;
    }
    if (!algorithm) *field = value;
    ++i;
  }
  bool complete = grammar != nullptr && fault == 0 &&
                  (!grammar->operand || options->operand != nullptr) &&
                  (!grammar->rekeyOptions || options->newKeyFile != nullptr);
  if (complete) return grammar->subcommand;
  if (fault != 0) ORV_CRED_MESSAGE(kMsgBadOption, textMessage(argv[fault], "orvcred"));
  ORV_CRED_MESSAGE(kMsgCredUsage, messageRecord());
  return Subcommand::kNone;
}

// Messages for a failure of openKeystore or chooseInitialKey (an ORVCRED
// code or the code it maps from).
void reportKeystoreFailure(int32_t code, const char* keystorePath, const InitialKey& key) {
  if (code == kConfigCannotRead || code == ORVCRED_KEYSTORE_UNREADABLE) {
    if (key.keystoreEntryFault == kConfigParamNotUnique) {
      ORV_CRED_MESSAGE(kMsgDuplicateParam, textMessage(keystorePath, "orvcred.keyfile"));
    } else if (key.keystoreEntryFault == kConfigCannotParse) {
      ORV_CRED_MESSAGE(kMsgKeyFileEntryUnparsable, textMessage(keystorePath));
    } else {
      ORV_CRED_MESSAGE(kMsgCannotReadConfig, textMessage(keystorePath));
    }
  } else if (code == kPbeKeyFileExposed) {
    ORV_CRED_MESSAGE(kMsgKeyFileExposed, textMessage(key.keyFilePath));
  } else if (code >= kPbeKeyFileUnreadable && code <= kPbeKeyFileTooLarge) {
    ORV_CRED_MESSAGE(kMsgCannotReadKeyFile, textMessage(keyFileBaseName(key.keyFilePath)));
  } else if (code == kConfigNoMemory || code == ORVCRED_NO_MEMORY) {
    ORV_CRED_MESSAGE(kMsgNoMemory, messageRecord());
  } else if (code != kConfigNoPath) {
    reportPbeFailure(code);
  }
}

}  // namespace

void showCredMessage(uint32_t number, const MessageRecord& record, int32_t sourceLine) {
  svcDisplayMessage(credSubpool, 0, 0, 0, number, &record, kMessageOptionCommand, kCredSourceName,
                    sourceLine, 1);
}

int32_t reportPbeFailure(int32_t code) {
  ORV_CRED_MESSAGE(kMsgPbeFailed, numberMessage(code));
  return code;
}

int32_t locateKeystore(const CredOptions& options, char* buffer, const char** pathOut) {
  if (options.keystoreFile != nullptr) {
    *pathOut = options.keystoreFile;
    return 0;
  }
  int32_t rc = findConfigFilePath(buffer, "VKT_KEYSTORE_CONF", "keystore.conf");
  if (rc != kConfigOk) {
    ORV_TRACE_TEXT(kOrvcredFunctionNumber, 0, "Cannot get config file path");
    return rc;
  }
  *pathOut = buffer;
  return 0;
}

int32_t readKeystore(const char* path, char** text, size_t* length) {
  *text = nullptr;
  *length = 0;
  int32_t error = 0;
  int32_t rc = readConfigFile(path, text, &error, length);
  TextCheck check;
  if (rc == kConfigOk) check = checkConfigText(*text, *length, true);
  if (rc != kConfigOk) {
    ORV_TRACE_TEXT(kOrvcredFunctionNumber, 2, "Cannot read config file '%s': %d", path, error);
    ORV_CRED_MESSAGE(kMsgCannotReadConfig, textMessage(path));
  } else if (check.problem != TextProblem::kNone) {
    ORV_CRED_MESSAGE(textProblemMessage(check.problem), numberMessage(check.line, path));
    rc = kCredNotText;
  }
  if (rc != kConfigOk) {
    svcFreeMem(0, kMemoryComponent, 0, *text);
    *text = nullptr;
    *length = 0;
  }
  return rc;
}

int32_t chooseKeyReporting(const char* keystorePath, const char* keyFile, InitialKey* key) {
  int32_t rc = chooseInitialKey(keystorePath, keyFile, key);
  if (rc != 0) {
    ORV_TRACE_TEXT(kOrvcredFunctionNumber, 0, "Failed to settle the initial key: %d", rc);
    reportKeystoreFailure(rc, keystorePath, *key);
    return rc;
  }
  if (key->isDefault) {
    ORV_CRED_MESSAGE(kMsgDefaultKey, messageRecord());
  } else {
    ORV_TRACE_TEXT(kOrvcredFunctionNumber, 0, "Using initial key from file '%s'", key->keyFilePath);
  }
  return 0;
}

int32_t runReveal(const CredOptions& options) {
  char pathBuffer[kConfigPathSize] = {};
  const char* keystorePath = nullptr;
  int32_t rc = locateKeystore(options, pathBuffer, &keystorePath);
  if (rc != 0) return rc;
  InitialKey key;
  orvcred_keystore* keystore = nullptr;
  rc = openKeystore(keystorePath, options.keyFile, &key, &keystore);
  if (rc != ORVCRED_OK) {
    reportKeystoreFailure(rc, keystorePath, key);
    return rc == ORVCRED_NO_MEMORY ? kMemoryNoMemory : rc;
  }
  if (orvcred_uses_default_key(keystore) != 0) ORV_CRED_MESSAGE(kMsgDefaultKey, messageRecord());
  char* value = nullptr;
  size_t length = 0;
  rc = orvcred_get(keystore, options.operand, &value, &length);
  orvcred_close(keystore);
  if (rc == ORVCRED_MISSING_KEY) {
    ORV_CRED_MESSAGE(kMsgMissingParam, textMessage(keystorePath, options.operand));
  } else if (rc == ORVCRED_DUPLICATE_KEY) {
    ORV_CRED_MESSAGE(kMsgDuplicateParam, textMessage(keystorePath, options.operand));
  } else if (rc == ORVCRED_NOT_READABLE) {
    ORV_CRED_MESSAGE(kMsgNotReadable, textMessage(keystorePath, options.operand));
  } else if (rc == ORVCRED_NO_MEMORY) {
    ORV_CRED_MESSAGE(kMsgNoMemory, messageRecord());
    rc = kMemoryNoMemory;
  } else if (rc == ORVCRED_OK) {
    osWriteFile(value, 1, length, stdout);
    osWriteFile("\n", 1, 1, stdout);
    if (std::fflush(stdout) != 0) rc = kCredWriteFailed;
  }
  orvcred_free_value(value);
  return rc;
}

namespace {

// The version alone on standard output, for scripts.
int32_t runVersion() {
  std::printf("%s\n", ORV_VERSION);
  return std::fflush(stdout) == 0 ? 0 : kCredWriteFailed;
}

}  // namespace

int32_t orvcredMain(int32_t argc, char** argv) {
  credSubpool = svcMiniSubpool;
  if (svcCheckConsistency(kServicesVersion) != 0) return kCredInconsistent;
  svcProgramInit(argc, argv, 0);
  traceEnter(kOrvcredFunctionNumber);
  int32_t result = svcInitialize(kServicesLevel, kServicesWanted, 0, 0, nullptr, nullptr, nullptr,
                                 &credSubpool);
  if (result != 0) {
    std::printf("svcMiniInitialize failed: %d\n", result);
  } else {
    configMessagesEnabled = 0;
    bool scripted = argc > 1 && (std::strcmp(argv[1], "reveal") == 0 ||
                                 std::strcmp(argv[1], "version") == 0);
    // reveal's and version's standard output is the value alone, for scripts.
    if (scripted) {
      svcDisplayCopyrightOnStderr();
    } else {
      svcDisplayCopyright();
    }
    CredOptions options;
    switch (readCommandLine(argc, argv, &options)) {
      case Subcommand::kCheck: result = runCheck(options); break;
      case Subcommand::kReveal: result = runReveal(options); break;
      case Subcommand::kRekey: result = runRekey(options); break;
      case Subcommand::kGenkey: result = runGenkey(options); break;
      case Subcommand::kVersion: result = runVersion(); break;
      case Subcommand::kNone: result = kCredBadCommandLine; break;
    }
  }
  rcMapTo8Bit(&result);
  traceLeave(kOrvcredFunctionNumber, result);
  svcProgramTerm(0);
  return result;
}
