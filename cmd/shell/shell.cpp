#include "cmd/shell/shell.h"

#include <cstdio>

#include "platform/memory.h"
#include "platform/trace.h"

SubpoolHandle commandSubpool = {0, 0};

namespace {

std::string lastError;

const Program* runningProgram = nullptr;
constexpr Program kNoProgram = {"orvseal", "cmd/shell/shell", 0, nullptr};

// Starts the services and shows the copyright line. The run's result: 0, or
// what a failed start means.
int32_t startServices(const Program& program) {
  int32_t code = svcInitialize(kServicesLevel, kServicesWanted, 0, 0, nullptr, nullptr, nullptr,
                               &commandSubpool);
  if (code == 0) {
    if (program.copyrightOnStderr) {
      svcDisplayCopyrightOnStderr();
    } else {
      svcDisplayCopyright();
    }
    return kRunOk;
  }
  std::printf("svcMiniInitialize failed: %d\n", code);
  std::fflush(stdout);
  if (code == kInitNoMemory) return kConfigNoMemory;
  if (code == kInitBadLevel) return kInitBadLevel;
  return svcProcessAnchor.status == kAnchorStatusUnavailable ? kAnchorStatusUnavailable
                                                             : kRunInitFailed;
}

}  // namespace

const Program& currentProgram() {
  return runningProgram != nullptr ? *runningProgram : kNoProgram;
}

int32_t runProgram(const Program& program, int32_t argc, char** argv) {
  runningProgram = &program;
  svcSetProgramName(program.name);
  commandSubpool = svcMiniSubpool;
  if (svcCheckConsistency(kServicesVersion) != 0) {
    ORV_RUN_TRACE(0, "Environment not configured correctly.");
    return kRunInconsistent;
  }
  int32_t result = svcProgramInit(argc, argv, 0);
  traceEnter(program.functionNumber);
  if (result == kRunOk) result = startServices(program);
  if (result == kRunOk) result = program.run(argc, argv);
  result = resultExitCode(result);
  traceLeave(program.functionNumber, result);
  svcProgramTerm(0);
  svcSetProgramName(nullptr);
  runningProgram = nullptr;
  return result;
}

const std::string& lastErrorMessage() { return lastError; }

void forgetLastError() { lastError.clear(); }

void showMessage(uint32_t number, const MessageRecord& record, int32_t sourceLine) {
  constexpr uint32_t kSeverityError = 2;
  if (number >> 28 == kSeverityError) {
    char text[2048];
    formatMessage(number, &record, text, sizeof text);
    lastError = text;
  }
  svcDisplayMessage(commandSubpool, 0, 0, 0, number, &record, kMessageOptionCommand,
                    currentProgram().sourceName, sourceLine, 1);
}

int32_t reportPbeFailure(int32_t code) {
  ORV_MESSAGE(kMsgPbeFailed, numberMessage(code));
  return code;
}
