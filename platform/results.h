#ifndef ORV_PLATFORM_RESULTS_H_
#define ORV_PLATFORM_RESULTS_H_

#include <cstdint>

#include "platform/memory.h"
#include "platform/messages.h"
#include "platform/pbe.h"
#include "platform/program.h"

// Every result that a run of either command, the keystore readers or the
// orvcred library can end with, in one table:
//
//   XX(name, code, exit, message, library, meaning)
//
//   code     the result as the code passes it on; no two rows share one
//   exit     the status the process exits with (0..255); a code of 0..255
//            exits as itself, unless another row has that status already:
//            such a row takes 1000 plus its status as its code
//   message  the catalogue message that reports it, 0 for none
//   library  the ORVCRED_* code that liborvcred returns for it, or
//            kNoLibraryCode; only lib/orvcred expands this column
//   meaning  one line for people: check's JSON and orvcred_error_text show it
//
// ORV_RESULTS names its codes here (k<name>; kConfigNoMemory and
// kConfigBadEnvironment are the codes of svcGetMem and svcProgramInit).
// ORV_SERVICE_RESULTS are the codes that a platform service declares as its
// interface (svcPbe*, svcInitialize), which pass through a run as they are.
#define ORV_RESULTS(XX)                                                                           \
  XX(RunOk, 0, 0, 0, ORVCRED_OK, "success")                                                       \
  XX(RunCannotOpen, 1, 1, kMsgCannotOpen, kNoLibraryCode, "a file cannot be opened or created")   \
  XX(CredPlaintext, 2, 2, kMsgPlaintextFound, kNoLibraryCode,                                     \
     "orvseal would protect a value or drop a flag line")                                         \
  XX(CredNotReadable, 3, 3, kMsgNotReadable, ORVCRED_NOT_READABLE,                                \
     "a protected value does not read with this key")                                             \
  XX(CredMissingKey, 4, 4, kMsgMissingParam, ORVCRED_MISSING_KEY,                                 \
     "the keystore has no entry of this key")                                                     \
  XX(CredDuplicateKey, 5, 5, kMsgDuplicateParam, ORVCRED_DUPLICATE_KEY,                           \
     "the keystore has more than one entry of this key")                                          \
  XX(CredHeldBack, 6, 6, kMsgPlaintextBehindFlag, kNoLibraryCode,                                 \
     "a plaintext stands behind a flag line that says YES")                                       \
  XX(CredDefaultKey, 7, 7, kMsgDefaultKeyValues, kNoLibraryCode,                                  \
     "values are protected with a key that anyone can have: the built-in or the example key")     \
  XX(CredRepeated, 8, 8, kMsgRepeatedCredential, kNoLibraryCode,                                  \
     "a credential key is given more than once")                                                  \
  XX(CredBadValue, 9, 9, kMsgValueRefused, kNoLibraryCode, "a new value is refused")              \
  XX(RunBadCommandLine, 10, 10, kMsgBadOption, kNoLibraryCode,                                    \
     "the command line is not accepted, or a new key file's name would not read back")            \
  XX(ConfigCannotParse, 11, 11, kMsgKeyFileLineUnreadable, ORVCRED_KEYSTORE_UNREADABLE,           \
     "a line of the keystore cannot be read, and the keystore names its key file")                \
  XX(ConfigCannotRead, 12, 12, kMsgCannotReadConfig, ORVCRED_KEYSTORE_UNREADABLE,                 \
     "the keystore file cannot be read or parsed, or its orvcred.keyfile cannot be used")         \
  XX(ConfigNoPath, 15, 15, 0, ORVCRED_NO_LOCATION,                                                \
     "the keystore file's location cannot be determined")                                         \
  XX(ConfigPathTooLong, 16, 16, kMsgPathDoesNotFit, kNoLibraryCode,                               \
     "a path, or a side file's name beside it, would not fit 260 characters")                     \
  XX(RunWriteFailed, 17, 17, kMsgWriteFailed, kNoLibraryCode,                                     \
     "writing, flushing or closing the output failed")                                            \
  XX(KeystoreNotText, 19, 19, kMsgNotText, ORVCRED_KEYSTORE_UNREADABLE,                           \
     "the keystore is no text of its form")                                                       \
  XX(RunInconsistent, 20, 20, 0, kNoLibraryCode, "the platform services do not fit this program") \
  XX(KeystoreUnclearLine, 21, 21, kMsgWordsBeforeEquals, ORVCRED_KEYSTORE_UNREADABLE,             \
     "words between a credential's key and '=': its value cannot be told")                        \
  XX(RunFileInUse, 22, 22, kMsgFileInUse, kNoLibraryCode,                                         \
     "another process holds the keystore open: it is not replaced")                               \
  XX(RunSteered, 23, 23, kMsgForeignLink, kNoLibraryCode,                                         \
     "another user could steer the run through a path")                                           \
  XX(ConfigBadEnvironment, kProgramBadEnvironment, 24, kMsgBadEnvironment,                        \
     ORVCRED_BAD_ENVIRONMENT, "an environment variable that names a file holds no valid text")    \
  XX(RunFileChanged, 25, 25, kMsgFileChanged, kNoLibraryCode,                                     \
     "the file to replace was replaced or changed meanwhile")                                     \
  XX(Interrupted, 128, 128, 0, kNoLibraryCode,                                                    \
     "interrupted: the process exits with 128 plus the signal's number")                          \
  XX(ExitCodeOutOfRange, 255, 255, 0, kNoLibraryCode,                                             \
     "a result beyond 8 bits, which exits with 255")                                              \
  XX(CheckFindings, 1001, 1, 0, kNoLibraryCode, "check --ci: findings")                           \
  XX(CheckFailed, 1002, 2, 0, kNoLibraryCode, "check --ci: a file could not be checked")          \
  XX(LibraryBadArgument, 1006, 255, 0, ORVCRED_BAD_ARGUMENT, "a required argument is null")       \
  XX(ConfigParamNotUnique, 1015, 15, kMsgDuplicateParam, kNoLibraryCode,                          \
     "a configuration parameter is given more than once")                                         \
  XX(RunReplaceFailed, -1, 255, kMsgReplaceFailed, kNoLibraryCode,                                \
     "the side file cannot replace the keystore")                                                 \
  XX(ConfigNoMemory, kMemoryNoMemory, 255, kMsgNoMemory, ORVCRED_NO_MEMORY, "not enough memory")  \
  XX(RunInitFailed, 2195, 255, 0, kNoLibraryCode, "the services could not start")

#define ORV_SERVICE_RESULTS(XX)                                                                   \
  XX(PbeBadAlgorithm, kPbeBadAlgorithm, 60, kMsgPbeFailed, ORVCRED_CRYPTO_FAILURE,                \
     "PBE: an algorithm other than 1 or 2")                                                       \
  XX(PbeBadMarker, kPbeBadMarker, 61, kMsgPbeFailed, ORVCRED_CRYPTO_FAILURE,                      \
     "PBE: the marker is missing, empty, too long or not printable")                              \
  XX(PbeBadInitialKey, kPbeBadInitialKey, 62, kMsgPbeFailed, ORVCRED_CRYPTO_FAILURE,              \
     "PBE: the initial key is missing or empty")                                                  \
  XX(PbeBadSalt, kPbeBadSalt, 63, kMsgPbeFailed, ORVCRED_CRYPTO_FAILURE,                          \
     "PBE: the salt is missing or empty")                                                         \
  XX(PbeNotInitialised, kPbeNotInitialised, 64, kMsgPbeFailed, ORVCRED_CRYPTO_FAILURE,            \
     "PBE: the context is not initialised")                                                       \
  XX(PbeBadArgument, kPbeBadArgument, 65, kMsgPbeFailed, ORVCRED_CRYPTO_FAILURE,                  \
     "PBE: a null pointer or a length out of range")                                              \
  XX(PbeNoMemory, kPbeNoMemory, 66, kMsgPbeFailed, ORVCRED_NO_MEMORY, "not enough memory")        \
  XX(PbeCryptoFailure, kPbeCryptoFailure, 67, kMsgPbeFailed, ORVCRED_CRYPTO_FAILURE,              \
     "the system's crypto library failed")                                                        \
  XX(PbeRandomFailure, kPbeRandomFailure, 68, kMsgPbeFailed, ORVCRED_CRYPTO_FAILURE,              \
     "PBE: the secure random generator failed")                                                   \
  XX(PbeMalformed, kPbeMalformed, 70, 0, ORVCRED_NOT_READABLE,                                    \
     "PBE: not a protected text of this format")                                                  \
  XX(PbeWrongMarker, kPbeWrongMarker, 71, 0, ORVCRED_NOT_READABLE,                                \
     "PBE: protected under another marker")                                                       \
  XX(PbeWrongAlgorithm, kPbeWrongAlgorithm, 72, 0, ORVCRED_NOT_READABLE,                          \
     "PBE: protected under the other algorithm")                                                  \
  XX(PbeNotAuthentic, kPbeNotAuthentic, 73, 0, ORVCRED_NOT_READABLE,                              \
     "PBE: tampered with, or protected under another key")                                        \
  XX(PbeKeyFileUnreadable, kPbeKeyFileUnreadable, 80, kMsgCannotReadKeyFile,                      \
     ORVCRED_KEY_FILE_UNREADABLE, "the initial key file cannot be read")                          \
  XX(PbeKeyFileEmpty, kPbeKeyFileEmpty, 81, kMsgCannotReadKeyFile, ORVCRED_KEY_FILE_EMPTY,        \
     "the initial key file is empty")                                                             \
  XX(PbeKeyFileTooLarge, kPbeKeyFileTooLarge, 82, kMsgCannotReadKeyFile,                          \
     ORVCRED_KEY_FILE_TOO_LARGE, "the initial key file holds more than 4096 bytes")               \
  XX(PbeKeyFileExposed, kPbeKeyFileExposed, 83, kMsgKeyFileExposed, ORVCRED_KEY_FILE_EXPOSED,     \
     "other users may read or change the initial key file")                                       \
  XX(PbeKeyFileForeign, kPbeKeyFileForeign, 84, kMsgKeyFileForeign, ORVCRED_KEY_FILE_FOREIGN,     \
     "another user owns the initial key file")                                                    \
  XX(InitBadLevel, kInitBadLevel, 255, 0, kNoLibraryCode,                                         \
     "the services are not of the level this program was built for")                              \
  XX(AnchorStatusUnavailable, kAnchorStatusUnavailable, 255, 0, kNoLibraryCode,                   \
     "the services could not start: no process anchor")

// Every row of both.
#define ORV_ALL_RESULTS(XX) ORV_RESULTS(XX) ORV_SERVICE_RESULTS(XX)

// The library column of a result that liborvcred never returns.
constexpr int32_t kNoLibraryCode = -1;

#define ORV_RESULT_CONSTANT(name, code, exit, message, library, meaning) \
  constexpr int32_t k##name = code;
ORV_RESULTS(ORV_RESULT_CONSTANT)
#undef ORV_RESULT_CONSTANT

// The status the process exits with: the table's, else the code itself when
// it lies in 0..255, else kExitCodeOutOfRange; never 0 for a failure.
int32_t resultExitCode(int32_t code);

// The catalogue message of a result, 0 when the table names none.
uint32_t resultMessage(int32_t code);

// The meaning of a result, or null for a code the table does not hold.
const char* resultMeaning(int32_t code);

#endif  // ORV_PLATFORM_RESULTS_H_
