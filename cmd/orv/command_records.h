#ifndef ORV_CMD_ORV_COMMAND_RECORDS_H_
#define ORV_CMD_ORV_COMMAND_RECORDS_H_

#include <cstdint>

#include "lib/orvcred/initial_key.h"
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

// The marker, salt and default key (kProtectedMarker, buildSalt,
// buildDefaultKey) are shared with orvcred: lib/orvcred/initial_key.h.

// Shows a catalogue message of the command, naming the calling line.
void showCommandMessage(uint32_t number, const MessageRecord& record, int32_t sourceLine);

#define ORV_COMMAND_MESSAGE(number, record) showCommandMessage((number), (record), __LINE__)

#endif  // ORV_CMD_ORV_COMMAND_RECORDS_H_
