#ifndef ORV_LIB_ORV_HOME_DIR_H_
#define ORV_LIB_ORV_HOME_DIR_H_

#include <cstdint>

// The per-user directory of the keystore feature: the user's home directory
// followed by ".vkt" between separators. Windows takes the home directory
// from HOMEDRIVE and HOMEPATH ("C:\Users\operator\.vkt\"), the POSIX port
// from HOME ("/home/operator/.vkt/"). One implementation per platform.

// Writes that directory into dst (kConfigPathSize bytes). kConfigOk;
// kConfigNoPath when the environment does not name the home directory,
// kConfigPathTooLong when it would not fit 260 characters.
int32_t userConfigDirectory(char* dst);

#endif  // ORV_LIB_ORV_HOME_DIR_H_
