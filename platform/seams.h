#ifndef ORV_PLATFORM_SEAMS_H_
#define ORV_PLATFORM_SEAMS_H_

#include <cstdint>

// The seams through which tests steer and watch the services, in the manner
// of an allocator wrapped from outside. Every hook is null in a production
// run, which then fails no call on purpose and records nothing; tests install
// theirs from test code (testing/test_hooks.h).

// The calls that a test can make fail.
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

struct PlatformSeams {
  // True when this call must fail; *error receives the error to report (0:
  // the call's own default).
  bool (*failCall)(FaultSite site, int32_t probe, int32_t* error) = nullptr;
  // A catalogue message, as it is shown.
  void (*messageShown)(uint32_t number, const char* text) = nullptr;
  // A failure record of svcRecordFailure.
  void (*failureRecorded)(const char* sourceName, int32_t line, int32_t probe,
                          int32_t reason) = nullptr;
  // Messages, the copyright line and failure lines stay off the console.
  bool consoleQuiet = false;
  // A file step reached: "walked" (a path walked, its folder held),
  // "opened" (a walked file opened for reading), "closed" (a file closed)
  // and "commit" (just before a file is replaced),
  // where a test may change the folder as another process could.
  void (*stepReached)(const char* step) = nullptr;
};

extern PlatformSeams platformSeams;

// Inside the platform layer: tells an installed hook that a step is reached.
inline void seamStep(const char* step) {
  if (platformSeams.stepReached != nullptr) platformSeams.stepReached(step);
}

// Inside the platform layer: true when an installed hook fails this call.
inline bool seamFailsCall(FaultSite site, int32_t probe, int32_t* error) {
  return platformSeams.failCall != nullptr && platformSeams.failCall(site, probe, error);
}

#endif  // ORV_PLATFORM_SEAMS_H_
