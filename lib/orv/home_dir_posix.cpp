// The per-user directory on POSIX systems: HOME, "/.vkt/".
#include <cstring>

#include "lib/orv/config_access.h"
#include "lib/orv/home_dir.h"
#include "platform/env.h"

int32_t userConfigDirectory(char* dst) {
  char home[kConfigPathSize];
  std::memset(home, 0, sizeof home);
  uint16_t capacity = static_cast<uint16_t>(kConfigPathSize);
  if (svcGetEnvironmentString("HOME", home, &capacity) != 0) return kConfigNoPath;
  // An empty HOME would put the file under the root directory.
  if (home[0] == '\0') return kConfigNoPath;
  dst[0] = '\0';
  return appendToPath(dst, home) && appendToPath(dst, "/.vkt/") ? kConfigOk : kConfigPathTooLong;
}
