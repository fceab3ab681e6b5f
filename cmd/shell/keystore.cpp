#include "cmd/shell/keystore.h"

#include <cerrno>
#include <cstdio>

#include "cmd/shell/shell.h"
#include "lib/orv/keystore_line.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/pbe.h"
#include "platform/runtime.h"
#include "platform/trace.h"

namespace {

uint32_t textProblemMessage(TextProblem problem) {
  switch (problem) {
    case TextProblem::kUtf16: return kMsgUtf16;
    case TextProblem::kLoneCarriageReturn: return kMsgLoneCarriageReturn;
    case TextProblem::kMisplacedByteOrderMark: return kMsgMisplacedByteOrderMark;
    case TextProblem::kNulByte:
    case TextProblem::kNone: break;
  }
  return kMsgNotText;
}

// A link that another user owns, reported: nothing behind it is touched.
int32_t reportForeignLink(const char* link, const char* path) {
  ORV_MESSAGE(kMsgForeignLink, textMessage(link, path));
  return kRunSteered;
}

// Why the keystore's own orvcred.keyfile cannot be used, reported.
int32_t reportKeyFileEntry(const Keystore& keystore, const InitialKey& key, int32_t code) {
  ORV_RUN_TRACE(0, "Failed to read orvcred parameter %s.", key.keystoreParamName);
  int32_t fault = key.keystoreEntryFault != 0 ? key.keystoreEntryFault : code;
  MessageRecord record = textMessage(keystore.path, kKeyFileEntry);
  record.numericInsert1 = static_cast<uint64_t>(key.keystoreEntryLine);
  if (fault == kConfigPathTooLong) record = textMessage(kKeyFileEntry);
  ORV_MESSAGE(resultMessage(fault), record);
  return fault;
}

// Why a named key file cannot be used, reported.
int32_t reportKeyFile(const InitialKey& key, int32_t code, const char* which) {
  const char* keyFile = key.keyFilePath != nullptr ? key.keyFilePath : "";
  int32_t error = key.fileRead.error;
  ORV_RUN_TRACE(0, "Failed to read initial key from file %s", keyFile);
  if (code == kPbeKeyFileExposed) {
    ORV_MESSAGE(kMsgKeyFileExposed, textMessage(keyFile, which));
  } else if (code == kPbeKeyFileForeign) {
    ORV_MESSAGE(kMsgKeyFileForeign, textMessage(keyFile, which));
  } else if (code == kPbeNoMemory) {
    ORV_MESSAGE(kMsgNoMemory, messageRecord());
  } else if (error == ELOOP) {
    return reportForeignLink(key.fileRead.refusedLink, keyFile);
  } else if (error == EISDIR || error == ENODEV) {
    ORV_MESSAGE(kMsgNotRegularFile, textMessage(keyFile));
  } else {
    // What was tried, and why it failed: missing, empty, too large, or the
    // system's reason.
    char reason[512];
    char systemText[256] = "no such file";
    if (error != 0 && osStrerror(systemText, sizeof systemText, error) != 0) {
      std::snprintf(systemText, sizeof systemText, "error %d", error);
    }
    if (code == kPbeKeyFileEmpty) {
      std::snprintf(reason, sizeof reason, "'%s' is empty", keyFile);
    } else if (code == kPbeKeyFileTooLarge) {
      std::snprintf(reason, sizeof reason, "'%s' holds more than 4096 bytes", keyFile);
    } else {
      std::snprintf(reason, sizeof reason, "'%s' cannot be read (%s)", keyFile, systemText);
    }
    MessageRecord record = textMessage(keyFileBaseName(keyFile), reason);
    record.textInsert3 = which;
    ORV_MESSAGE(kMsgCannotReadKeyFile, record);
  }
  return code;
}

// Why the keystore file cannot be read, reported.
int32_t reportUnreadKeystore(const Keystore& keystore, int32_t code, int32_t error) {
  if (error == ELOOP) return reportForeignLink(keystore.refusedLink, keystore.path);
  if (error == ENAMETOOLONG) {
    ORV_MESSAGE(kMsgPathTooLong, textMessage(keystore.path));
    return kConfigPathTooLong;
  }
  if (error == EISDIR || error == ENODEV) {
    ORV_MESSAGE(kMsgNotRegularFile, textMessage(keystore.path));
    return code;
  }
  ORV_RUN_TRACE(2, "Cannot read config file '%s'", keystore.path);
  ORV_MESSAGE(kMsgCannotReadConfig, textMessage(keystore.path));
  if (error != 0) traceErrorNumber(currentProgram().functionNumber, 2, "", error);
  return code;
}

}  // namespace

int32_t locateKeystore(const char* keystoreFile, Keystore* keystore) {
  if (keystoreFile != nullptr) {
    keystore->path = keystoreFile;
    ORV_RUN_TRACE(0, "Using keystore: '%s' from command line\n", keystore->path);
    return kRunOk;
  }
  int32_t code = findConfigFilePath(keystore->pathBuffer, "VKT_KEYSTORE_CONF", "keystore.conf");
  if (code != kConfigOk) {
    ORV_RUN_TRACE(0, "Cannot get config file path");
    if (code == kConfigBadEnvironment) {
      ORV_MESSAGE(kMsgBadEnvironment,
                  textMessage(osEnvironmentValid("VKT_KEYSTORE_CONF") ? "HOMEDRIVE or HOMEPATH"
                                                                      : "VKT_KEYSTORE_CONF"));
    } else if (code == kConfigPathTooLong) {
      bool fromVariable = svcGetEnv("VKT_KEYSTORE_CONF") != nullptr;
      ORV_MESSAGE(kMsgPathDoesNotFit,
                  textMessage(fromVariable ? "VKT_KEYSTORE_CONF" : "the home directory"));
    }
    return code;
  }
  keystore->path = keystore->pathBuffer;
  ORV_RUN_TRACE(0, "Using keystore: '%s' from ORV standard search\n", keystore->path);
  return kRunOk;
}

int32_t walkForWriting(const char* path, WalkedPath* at) {
  char where[kPathSize];
  int32_t error = osWalkPath(path, nullptr, at, where, sizeof where);
  if (error == ELOOP) return reportForeignLink(where, path);
  if (error == ENAMETOOLONG) {
    ORV_MESSAGE(kMsgPathTooLong, textMessage(path));
    return kConfigPathTooLong;
  }
  if (error != 0) {
    ORV_MESSAGE(kMsgCannotOpen, numberMessage(error, path));
    return kRunCannotOpen;
  }
  return kRunOk;
}

int32_t readKeystore(Keystore* keystore) {
  int32_t error = 0;
  int32_t code = readKeystoreFile(keystore->path, keystore, &error);
  if (code != kConfigOk) return reportUnreadKeystore(*keystore, code, error);
  TextCheck check;
  KeystoreLine unclear;
  code = keystoreFault(keystore->text, keystore->length, &check, &unclear);
  if (code == kKeystoreNotText) {
    ORV_MESSAGE(textProblemMessage(check.problem), numberMessage(check.line, keystore->path));
  } else if (code == kKeystoreUnclearLine) {
    ORV_LINE_MESSAGE(kMsgWordsBeforeEquals, keystore->path, unclear);
  } else if (code == kConfigCannotParse) {
    MessageRecord record = textMessage(keystore->path, kKeyFileEntry);
    record.numericInsert1 = static_cast<uint64_t>(unclear.number);
    ORV_MESSAGE(kMsgKeyFileLineUnreadable, record);
  }
  return code;
}

int32_t settleInitialKey(const Keystore& keystore, const char* keyFile, InitialKey* key,
                         const char* role) {
  int32_t code = chooseInitialKey(keystore.where, keystore.text, keystore.length, keyFile, key);
  if (key->source != InitialKeySource::kExplicit) {
    ORV_RUN_TRACE(0, "No keyfile from command line. Looking for env var");
  }
  if (key->source == InitialKeySource::kKeystore || key->source == InitialKeySource::kDefault) {
    ORV_RUN_TRACE(0, "No keyfile from env var. Looking in keystore config file");
  }
  if (key->source == InitialKeySource::kKeystore &&
      (code == kConfigCannotRead || code == kConfigNoMemory)) {
    // The keystore names a key file that cannot be used, or the lookup
    // failed: the default key would protect the values with a key that
    // anyone who has this program holds.
    return reportKeyFileEntry(keystore, *key, code);
  }
  if (code == kConfigBadEnvironment) {
    ORV_MESSAGE(kMsgBadEnvironment, textMessage(kKeyFileEnvName));
    return code;
  }
  if (code != 0) return reportKeyFile(*key, code, role);
  if (key->isDefault) {
    if (key->keystoreUnparsed) {
      ORV_RUN_TRACE(0, "Failed to read orvcred parameter %s. Continuing with default key.",
                    key->keystoreParamName);
    }
    ORV_RUN_TRACE(0, "No initial keyfile provided. Using default");
    ORV_MESSAGE(kMsgDefaultKey, messageRecord());
  } else {
    ORV_RUN_TRACE(0, "Using initial key from file '%s'", key->keyFilePath);
  }
  if (key->skippedLine != 0) {
    ORV_MESSAGE(kMsgUnreadableLineSkipped, numberMessage(key->skippedLine, keystore.path));
  }
  return kRunOk;
}

void showLineMessage(uint32_t number, const char* keystorePath, const KeystoreLine& line,
                     int32_t sourceLine) {
  char key[256];
  std::snprintf(key, sizeof key, "%.*s", static_cast<int>(line.key.length),
                line.text + line.key.begin);
  MessageRecord record = numberMessage(line.number, keystorePath);
  record.textInsert2 = key;
  // A plaintext left behind a flag line names that line.
  char flagLine[24];
  std::snprintf(flagLine, sizeof flagLine, "%lld", static_cast<long long>(line.heldBackBy));
  record.textInsert3 = flagLine;
  showMessage(number, record, sourceLine);
}
