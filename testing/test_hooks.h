#ifndef ORV_TESTING_TEST_HOOKS_H_
#define ORV_TESTING_TEST_HOOKS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/seams.h"

// Fault plans and observations for tests, installed into the platform's
// seams (platform/seams.h) by the first call of any function here.

struct FaultPlan {
  uint32_t sites = 0;     // FaultSite bits the plan counts
  uint64_t failAt = 0;    // the Nth counted call fails (1-based); 0 never
  bool failAfter = false; // every counted call from the Nth on fails
  int32_t probe = -1;     // allocations: count only this probe (-1 any)
  int32_t error = 0;      // errno for file sites, the result for service sites
};

void faultArm(const FaultPlan& plan);
void faultDisarm();
// Whether the plan has fired since faultArm.
bool faultFired();

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

// Forgets the failure records and shown messages.
void clearObservations();

// When set, messages, the copyright line and failure lines are recorded but
// not written to the console.
void setConsoleQuiet(bool quiet);

#endif  // ORV_TESTING_TEST_HOOKS_H_
