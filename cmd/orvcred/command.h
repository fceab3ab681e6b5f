#ifndef ORV_CMD_ORVCRED_COMMAND_H_
#define ORV_CMD_ORVCRED_COMMAND_H_

#include <cstdint>
#include <vector>

// What the subcommands of orvcred share.

// The command line once read: the options that a subcommand allows.
struct CredOptions {
  const char* keystoreFile = nullptr;         // -f (the last one)
  std::vector<const char*> keystoreFiles;     // every -f, for check
  const char* keyFile = nullptr;              // -sf
  const char* newKeyFile = nullptr;           // -nf
  int32_t algorithm = 2;                      // -sp
  bool json = false;                          // --json, for check
  std::vector<const char*> operands;          // reveal's KEYs, genkey's FILE
};

// The subcommands. Each returns the run's result.
int32_t runCheck(const CredOptions& options);
int32_t runReveal(const CredOptions& options);
int32_t runRekey(const CredOptions& options);
int32_t runGenkey(const CredOptions& options);

#endif  // ORV_CMD_ORVCRED_COMMAND_H_
