#ifndef ORV_PLATFORM_OBSERVATIONS_H_
#define ORV_PLATFORM_OBSERVATIONS_H_

#include <vector>

#include "platform/test_hooks.h"

// Inside the platform layer only: where the services record what tests can
// observe through platform/test_hooks.h.
std::vector<FailureRecord>& mutableFailureRecords();
std::vector<ShownMessage>& mutableShownMessages();
bool& consoleQuietFlag();

#endif  // ORV_PLATFORM_OBSERVATIONS_H_
