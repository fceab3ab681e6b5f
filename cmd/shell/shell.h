#ifndef ORV_CMD_SHELL_SHELL_H_
#define ORV_CMD_SHELL_SHELL_H_

#include <cstdint>
#include <string>

#include "platform/messages.h"
#include "platform/program.h"
#include "platform/results.h"

// What both commands, orvseal and orvcred, share from the process entry to
// the exit code: the start and end of the services, the messages, and the
// results (platform/results.h).

// A command as the shell runs it.
struct Program {
  const char* name;        // in the message of an argument that is no option
  const char* sourceName;  // the source that its messages and trace records name
  int32_t functionNumber;  // the trace function of the whole run
  // Run once the services are up and the copyright line is shown; returns
  // the result before it is mapped to an exit code.
  int32_t (*run)(int32_t argc, char** argv);
  // The copyright line goes to standard error, for a run whose standard
  // output is data for scripts.
  bool copyrightOnStderr = false;
};

// The command's copy of svcMiniSubpool, set when the run starts and passed
// with every catalogue message.
extern SubpoolHandle commandSubpool;

// The program that runProgram runs, for its messages and traces.
const Program& currentProgram();

// Checks and starts the services, shows the copyright line, runs the
// command and maps its result to the exit code (resultExitCode). A misfit
// of the services returns kRunInconsistent at once, unmapped and unshown.
int32_t runProgram(const Program& program, int32_t argc, char** argv);

// Shows a catalogue message of the running command, naming the calling line.
void showMessage(uint32_t number, const MessageRecord& record, int32_t sourceLine);
#define ORV_MESSAGE(number, record) showMessage((number), (record), __LINE__)

// The last error message the running command showed, as shown
// ("ORV9111E: text"), for a report that says why a file was refused; empty
// when none was shown since forgetLastError.
const std::string& lastErrorMessage();
void forgetLastError();

// A trace text of the running command's own function.
#define ORV_RUN_TRACE(detail, ...) \
  ORV_TRACE_TEXT(currentProgram().functionNumber, (detail), __VA_ARGS__)

// Reports a failure of the PBE service (ORV6337E); returns the code.
int32_t reportPbeFailure(int32_t code);

#endif  // ORV_CMD_SHELL_SHELL_H_
