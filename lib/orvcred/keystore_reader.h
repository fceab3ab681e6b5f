#ifndef ORV_LIB_ORVCRED_KEYSTORE_READER_H_
#define ORV_LIB_ORVCRED_KEYSTORE_READER_H_

#include <cstdint>

#include "lib/orvcred/include/orvcred.h"
#include "lib/orvcred/initial_key.h"

// orvcred_open with what the orvcred command needs to explain a failure:
// *key receives the source, path and entry fault of the initial key chosen
// (its bytes are wiped before the call returns). An ORVCRED code.
int32_t openKeystore(const char* keystorePath, const char* keyFile, InitialKey* key,
                     orvcred_keystore** handle);

// The ORVCRED code of a code of the configuration routines or the PBE
// service.
int32_t orvcredCode(int32_t code);

#endif  // ORV_LIB_ORVCRED_KEYSTORE_READER_H_
