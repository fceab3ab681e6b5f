#include "testing/test_hooks.h"

namespace {

struct FaultState { FaultPlan plan; bool armed = false; uint64_t calls = 0; bool fired = false; };

FaultState& faultState() {
  static FaultState state;
  return state;
}

std::vector<FailureRecord>& recordedFailures() {
  static std::vector<FailureRecord> records;
  return records;
}

std::vector<ShownMessage>& recordedMessages() {
  static std::vector<ShownMessage> messages;
  return messages;
}

bool failPlannedCall(FaultSite site, int32_t probe, int32_t* error) {
  FaultState& state = faultState();
  if (!state.armed || (state.plan.sites & site) == 0) return false;
  if (site == kFaultAlloc && state.plan.probe >= 0 && probe != state.plan.probe) return false;
  ++state.calls;
  if (state.plan.failAt == 0) return false;
  bool fail = state.plan.failAfter ? state.calls >= state.plan.failAt
                                   : state.calls == state.plan.failAt;
  if (!fail) return false;
  state.fired = true;
  if (error != nullptr) *error = state.plan.error;
  return true;
}

void installHooks() {
  platformSeams.failCall = failPlannedCall;
  platformSeams.messageShown = [](uint32_t number, const char* text) {
    recordedMessages().push_back(ShownMessage{number, text});
  };
  platformSeams.failureRecorded = [](const char* sourceName, int32_t line, int32_t probe,
                                     int32_t reason) {
    recordedFailures().push_back(FailureRecord{sourceName, line, probe, reason});
  };
}

}  // namespace

void faultArm(const FaultPlan& plan) {
  installHooks();
  FaultState& state = faultState();
  state.plan = plan;
  state.armed = true;
  state.calls = 0;
  state.fired = false;
}

void faultDisarm() {
  FaultState& state = faultState();
  state.armed = false;
  state.plan = FaultPlan{};
}

bool faultFired() { return faultState().fired; }

const std::vector<FailureRecord>& failureRecords() { return recordedFailures(); }

const std::vector<ShownMessage>& shownMessages() { return recordedMessages(); }

void clearObservations() {
  installHooks();
  recordedFailures().clear();
  recordedMessages().clear();
}

void setConsoleQuiet(bool quiet) {
  installHooks();
  platformSeams.consoleQuiet = quiet;
}
