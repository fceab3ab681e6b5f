#ifndef ORV_CMD_ORVCRED_ORVCRED_H_
#define ORV_CMD_ORVCRED_ORVCRED_H_

#include <cstdint>

// The orvcred command: check, reveal, rekey and genkey, from the process
// entry to the exit code.

constexpr int32_t kOrvcredFunctionNumber = 380;

// Runs the command with the process's arguments and returns the exit code.
int32_t orvcredMain(int32_t argc, char** argv);

#endif  // ORV_CMD_ORVCRED_ORVCRED_H_
