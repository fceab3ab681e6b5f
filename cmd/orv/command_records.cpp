#include "cmd/orv/command_records.h"

SubpoolHandle commandSubpool = {0, 0};

void showCommandMessage(uint32_t number, const MessageRecord& record, int32_t sourceLine) {
  svcDisplayMessage(commandSubpool, 0, 0, 0, number, &record, kMessageOptionCommand,
                    kCommandSourceName, sourceLine, 1);
}
