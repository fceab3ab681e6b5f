#ifndef ORV_CMD_ORV_COMMAND_RECORDS_H_
#define ORV_CMD_ORV_COMMAND_RECORDS_H_

#include <cstdint>

#include "platform/messages.h"
#include "platform/pbe.h"
#include "platform/program.h"

// Records that the protection run fills and the credential line rewriter
// uses: the PBE context (platform/pbe.h) and the command's sub-pool handle.

// The command's copy of svcMiniSubpool, set at the start of the run and
// passed with every catalogue message of the command.
extern SubpoolHandle commandSubpool;

// The name under which the command's messages and trace records name their
// source.
constexpr const char* kCommandSourceName = "cmd/orv/orvseal";

constexpr const char* kProtectedMarker = "<ORV>";
constexpr int32_t kSaltLength = 24;
constexpr int32_t kDefaultKeyLength = 32;

// Writes the command's 24-byte salt, from its six 32-bit constants.
void buildSalt(unsigned char salt[kSaltLength]);

// Builds the default initial key: byte i is A[i] XOR B[31 - i].
void buildDefaultKey(unsigned char key[kDefaultKeyLength]);

// Shows a catalogue message of the command, naming the calling line.
void showCommandMessage(uint32_t number, const MessageRecord& record, int32_t sourceLine);

#define ORV_COMMAND_MESSAGE(number, record) showCommandMessage((number), (record), __LINE__)

#endif  // ORV_CMD_ORV_COMMAND_RECORDS_H_
