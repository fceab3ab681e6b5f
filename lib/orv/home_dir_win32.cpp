// The per-user directory on Windows: HOMEDRIVE, HOMEPATH, "\.vkt\".
#include <cstring>

#include "lib/orv/config_access.h"
#include "lib/orv/home_dir.h"
#include "platform/env.h"

int32_t userConfigDirectory(char* dst) {
  char homeDrive[kConfigPathSize];
  char homePath[kConfigPathSize];
  std::memset(homeDrive, 0, sizeof homeDrive);
  std::memset(homePath, 0, sizeof homePath);
  if (!osEnvironmentValid("HOMEDRIVE") || !osEnvironmentValid("HOMEPATH")) {
    return kConfigBadEnvironment;
  }
  uint16_t capacity = static_cast<uint16_t>(kConfigPathSize);
  if (svcGetEnvironmentString("HOMEDRIVE", homeDrive, &capacity) != 0) return kConfigNoPath;
  capacity = static_cast<uint16_t>(kConfigPathSize);
  if (svcGetEnvironmentString("HOMEPATH", homePath, &capacity) != 0) return kConfigNoPath;
  // No separator between drive and path: the home path begins with one.
  dst[0] = '\0';
  return appendToPath(dst, homeDrive) && appendToPath(dst, homePath) &&
                 appendToPath(dst, "\\.vkt\\")
             ? kConfigOk
             : kConfigPathTooLong;
}
