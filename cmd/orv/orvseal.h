#ifndef ORV_CMD_ORV_ORVSEAL_H_
#define ORV_CMD_ORV_ORVSEAL_H_

#include <cstdint>

// The protection run: the whole orvseal command, from the process entry to
// the exit code. Its results are those of cmd/shell/shell.h, the keystore
// checks' (19, 21) and the codes of the configuration routines and the PBE
// service, which pass through as they are.

constexpr int32_t kRunFunctionNumber = 370;

// Runs the command with the process's arguments and returns the exit code.
int32_t orvsealMain(int32_t argc, char** argv);

#endif  // ORV_CMD_ORV_ORVSEAL_H_
