#ifndef ORV_CMD_ORVCRED_COMMAND_H_
#define ORV_CMD_ORVCRED_COMMAND_H_

#include <cstddef>
#include <cstdint>

#include "lib/orvcred/initial_key.h"
#include "platform/messages.h"

// What the subcommands of orvcred share.

constexpr const char* kCredSourceName = "cmd/orvcred/orvcred";

// The command line once read: the options that a subcommand allows.
struct CredOptions {
  const char* keystoreFile = nullptr;  // -f
  const char* keyFile = nullptr;       // -sf
  const char* newKeyFile = nullptr;    // -nf
  int32_t algorithm = 2;               // -sp
  const char* operand = nullptr;       // reveal's KEY, genkey's FILE
};

void showCredMessage(uint32_t number, const MessageRecord& record, int32_t sourceLine);
#define ORV_CRED_MESSAGE(number, record) showCredMessage((number), (record), __LINE__)

// The keystore path: -f, else VKT_KEYSTORE_CONF, else the per-user folder's
// keystore.conf, into buffer (kConfigPathSize bytes). 0 or 15.
int32_t locateKeystore(const CredOptions& options, char* buffer, const char** pathOut);

// The whole keystore file, byte for byte as orvseal reads it, in a new
// buffer of *length bytes and a NUL, released with svcFreeMem (it may hold
// credentials). 0, or 12 (cannot be read, or empty) or 19 (no text of its
// form: a NUL byte, a lone carriage return, UTF-16), each with its message;
// *text is null then.
int32_t readKeystore(const char* path, char** text, size_t* length);

// chooseInitialKey with the messages of its failures and the default key's
// warning. Its result.
int32_t chooseKeyReporting(const char* keystorePath, const char* keyFile, InitialKey* key);

// Reports a failure of the PBE service (ORV6337E); returns the code.
int32_t reportPbeFailure(int32_t code);

// The subcommands. Each returns the run's result.
int32_t runCheck(const CredOptions& options);
int32_t runReveal(const CredOptions& options);
int32_t runRekey(const CredOptions& options);
int32_t runGenkey(const CredOptions& options);

#endif  // ORV_CMD_ORVCRED_COMMAND_H_
