#ifndef ORV_LIB_ORVCRED_KEYSTORE_READER_H_
#define ORV_LIB_ORVCRED_KEYSTORE_READER_H_

#include <cstddef>
#include <cstdint>

#include "lib/orvcred/include/orvcred.h"
#include "lib/orvcred/initial_key.h"

// What orvcred_open does once the keystore is read, for a caller that read
// it and chose its key itself (the orvcred command, which reports each step
// as orvseal does): a handle over the entries of `text`, which passed
// keystoreFault, with the master keys of `key` derived. An ORVCRED code;
// *handle is null on failure. The text and the key stay the caller's.
int32_t openKeystoreText(const char* text, size_t length, const InitialKey& key,
                         orvcred_keystore** handle);

// The ORVCRED code of a code of the configuration routines, the keystore
// checks or the PBE service.
int32_t orvcredCode(int32_t code);

#endif  // ORV_LIB_ORVCRED_KEYSTORE_READER_H_
