#ifndef ORV_PLATFORM_FILES_INTERNAL_H_
#define ORV_PLATFORM_FILES_INTERNAL_H_

#include <cstdint>

#include "platform/files.h"
#include "platform/seams.h"

// Inside the platform layer only: true when an injected fault must fail this
// file operation; errno is then set to the plan's error (EIO by default).
bool fileFaultInjected(FaultSite site);

#endif  // ORV_PLATFORM_FILES_INTERNAL_H_
