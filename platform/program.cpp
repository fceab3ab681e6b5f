#include "platform/program.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/env.h"
#include "platform/memory.h"
#include "platform/messages.h"
#include "platform/pbe.h"
#include "platform/seams.h"
#include "platform/trace.h"
#include "platform/version.h"

PlatformSeams platformSeams;

const SubpoolHandle svcMiniSubpool = {0x4F52565355424Full, 16};  // "ORVSUBO", component 16

namespace {

int32_t injectedResult(FaultSite site) {
  int32_t error = 0;
  if (!seamFailsCall(site, -1, &error)) return 0;
  return error != 0 ? error : 1;
}

}  // namespace

int32_t svcCheckConsistency(const char* version) {
  if (int32_t injected = injectedResult(kFaultCheckConsistency)) return injected;
  if (version == nullptr) return 1;
  return std::strcmp(version, kServicesVersion) == 0 ? 0 : 1;
}

int32_t svcProgramInit(int32_t, char**, int32_t) {
  traceAttachThread();
  // A name that is no text names no file, and is not taken for unset either.
  if (!osEnvironmentValid("VKT_TRACE")) {
    MessageRecord record = textMessage("VKT_TRACE");
    svcDisplayMessage(svcMiniSubpool, 0, 0, 0, kMsgBadEnvironment, &record,
                      kMessageOptionCommand, "platform/program", __LINE__, 1);
    return kProgramBadEnvironment;
  }
  const char* tracePath = svcGetEnv("VKT_TRACE");
  // A trace file that cannot be opened leaves tracing off; the run goes on,
  // and says so when the name is no regular file of the caller's or root's.
  int32_t traced = tracePath != nullptr && tracePath[0] != '\0' ? traceStart(tracePath) : 0;
  if (traced == ENODEV || traced == EPERM) {
    MessageRecord record = textMessage(tracePath);
    svcDisplayMessage(svcMiniSubpool, 0, 0, 0, kMsgTraceNotRegular, &record,
                      kMessageOptionCommand, "platform/program", __LINE__, 1);
  }
  return 0;
}

int32_t svcInitialize(int32_t level, int32_t services, int32_t, int32_t, void*, void*, void*,
                      SubpoolHandle* subpool) {
  if (int32_t injected = injectedResult(kFaultInitialize)) return injected;
  if (level != kServicesLevel) return kInitBadLevel;
  if (services != kServicesWanted || subpool == nullptr) return kInitBadArguments;
  *subpool = svcMiniSubpool;
  return 0;
}

namespace {

void displayCopyright(FILE* stream) {
  if (platformSeams.consoleQuiet) return;
  std::fprintf(stream,
               "%s " ORV_VERSION
               " - credential protection for keystore.conf. Copyright (c) 2026 the orvseal "
               "authors.\n",
               svcProgramName() != nullptr ? svcProgramName() : "orvseal");
  std::fflush(stream);
}

}  // namespace

void svcDisplayCopyright() { displayCopyright(stdout); }

void svcDisplayCopyrightOnStderr() { displayCopyright(stderr); }

int32_t svcProgramTerm(int32_t) {
  pbeReleaseInitialKeys();
  traceStop();
  std::fflush(stdout);
  std::fflush(stderr);
  return 0;
}
