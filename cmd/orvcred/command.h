#ifndef ORV_CMD_ORVCRED_COMMAND_H_
#define ORV_CMD_ORVCRED_COMMAND_H_

#include <cstdint>
#include <vector>

#include "lib/orv/keystore_line.h"
#include "lib/orvcred/master_keys.h"

// What the subcommands of orvcred share.

// The command line once read: the options that a subcommand allows.
struct CredOptions {
  const char* keystoreFile = nullptr;         // -f (the last one)
  std::vector<const char*> keystoreFiles;     // every -f, for check
  const char* keyFile = nullptr;              // -sf
  const char* newKeyFile = nullptr;           // -nf
  int32_t algorithm = 2;                      // -sp
  bool json = false;                          // --json, for check
  const char* format = nullptr;               // --format text|json|sarif, for check
  const char* folder = nullptr;               // -r (the last one)
  std::vector<const char*> folders;           // every -r, for check
  const char* namePattern = "*.conf";         // --name, for check's -r
  const char* baseline = nullptr;             // --baseline, for check
  const char* writeBaseline = nullptr;        // --write-baseline, for check
  bool noKey = false;                         // --no-key, for check: read no key
  bool ci = false;                            // --ci, for check: exit 0, 1 or 2
  bool checkOnly = false;                     // --check, for set
  std::vector<const char*> operands;          // reveal's KEYs, set's NAMEs, genkey's FILE
};

// Reads the protected value of `line` with `key`: 0 with the plaintext
// (released with svcPbeFreeBuf), kCredNotReadable, or the failure of the
// service, reported (ORV6337E).
int32_t restoreValue(MasterKeys& keys, const InitialKey& key, const KeystoreLine& line,
                     char** plaintext, int32_t* plaintextLength);

// The subcommands. Each returns the run's result.
int32_t runCheck(const CredOptions& options);
int32_t runReveal(const CredOptions& options);
int32_t runRekey(const CredOptions& options);
int32_t runSet(const CredOptions& options);
int32_t runGenkey(const CredOptions& options);

#endif  // ORV_CMD_ORVCRED_COMMAND_H_
