#ifndef ORV_PLATFORM_TEST_HOOKS_H_
#define ORV_PLATFORM_TEST_HOOKS_H_

#include <cstdint>
#include <string>
#include <vector>

// Hooks by which tests make chosen platform calls fail and observe what the
// platform shows. Nothing arms them outside tests; unarmed, they cost one
// branch per call.

enum FaultSite : uint32_t {
  kFaultAlloc = 1u << 0,
  kFaultOpen = 1u << 1,
  kFaultRead = 1u << 2,
  kFaultWrite = 1u << 3,
  kFaultFlush = 1u << 4,
  kFaultClose = 1u << 5,
  kFaultRename = 1u << 6,  // rename and replace
  kFaultDelete = 1u << 7,
  kFaultCheckConsistency = 1u << 8,
  kFaultInitialize = 1u << 9,
  kFaultPbeInit = 1u << 10,
  kFaultPbeSave = 1u << 11,
  kFaultFileOps = kFaultOpen | kFaultRead | kFaultWrite | kFaultFlush | kFaultClose |
                  kFaultRename | kFaultDelete,
  kFaultAllSites = 0xFFFFFFFFu,
};

struct FaultPlan {
  uint32_t sites = 0;     // FaultSite bits the plan counts
  uint64_t failAt = 0;    // the Nth counted call fails (1-based); 0 never
  bool failAfter = false; // every counted call from the Nth on fails
  int32_t probe = -1;     // allocations: count only this probe (-1 any)
  int32_t error = 0;      // errno for file sites, the result for service sites
};

void faultArm(const FaultPlan& plan);
void faultDisarm();
// Counted calls since faultArm, and whether the plan has fired.
uint64_t faultCalls();
bool faultFired();

// Used inside the platform layer: true when this call must fail; *error
// receives the plan's error.
bool faultCheck(FaultSite site, int32_t probe, int32_t* error);

// Failure records written by svcRecordFailure.
struct FailureRecord {
  std::string sourceName;
  int32_t line;
  int32_t probe;
  int32_t reason;
};
const std::vector<FailureRecord>& failureRecords();

// Messages shown by svcDisplayMessage, as shown (identifier and text).
struct ShownMessage {
  uint32_t number;
  std::string text;
};
const std::vector<ShownMessage>& shownMessages();

// PBE contexts that svcPbeInit made ready and svcPbeTerm has not yet wiped.
int64_t pbeLiveContexts();

// Forgets the failure records and shown messages.
void clearObservations();

// When set, messages, the copyright line and failure lines are recorded but
// not written to the console.
void setConsoleQuiet(bool quiet);

#endif  // ORV_PLATFORM_TEST_HOOKS_H_
