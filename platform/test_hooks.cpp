#include "platform/test_hooks.h"

namespace {

struct FaultState {
  FaultPlan plan;
  bool armed = false;
  uint64_t calls = 0;
  bool fired = false;
};

FaultState& faultState() {
  static FaultState state;
  return state;
}

}  // namespace

void faultArm(const FaultPlan& plan) {
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

uint64_t faultCalls() { return faultState().calls; }

bool faultFired() { return faultState().fired; }

bool faultCheck(FaultSite site, int32_t probe, int32_t* error) {
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

// Observations live here so that the services that record them and the tests
// that read them share one definition.
std::vector<FailureRecord>& mutableFailureRecords() {
  static std::vector<FailureRecord> records;
  return records;
}

std::vector<ShownMessage>& mutableShownMessages() {
  static std::vector<ShownMessage> messages;
  return messages;
}

bool& consoleQuietFlag() {
  static bool quiet = false;
  return quiet;
}

const std::vector<FailureRecord>& failureRecords() { return mutableFailureRecords(); }

const std::vector<ShownMessage>& shownMessages() { return mutableShownMessages(); }

void clearObservations() {
  mutableFailureRecords().clear();
  mutableShownMessages().clear();
}

void setConsoleQuiet(bool quiet) { consoleQuietFlag() = quiet; }
