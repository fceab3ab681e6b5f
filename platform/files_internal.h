#ifndef ORV_PLATFORM_FILES_INTERNAL_H_
#define ORV_PLATFORM_FILES_INTERNAL_H_

#include <cstdint>

#include "platform/files.h"
#include "platform/seams.h"

// Inside the platform layer only: true when an injected fault must fail this
// file operation; errno is then set to the plan's error (EIO by default).
bool fileFaultInjected(FaultSite site);

// Just before the file at `at`'s name is replaced: 0 when the name still
// holds the file `expected` identifies, unchanged (or `expected` is null),
// else ECANCELED or the errno of the look-up. Tells the seam that the step
// is reached.
int32_t stillExpected(const WalkedPath& at, const FileId* expected);

#endif  // ORV_PLATFORM_FILES_INTERNAL_H_
