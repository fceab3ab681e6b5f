#ifndef ORV_LIB_ORVCRED_MASTER_KEYS_H_
#define ORV_LIB_ORVCRED_MASTER_KEYS_H_

#include <cstddef>
#include <cstdint>

#include "lib/orvcred/initial_key.h"
#include "platform/pbe.h"

// The master keys of one initial key: one PBE context per algorithm, each
// derived at most once, all wiped when the object goes. One object belongs
// to one thread at a time; separate objects share nothing.
class MasterKeys {
 public:
  MasterKeys();
  ~MasterKeys();
  MasterKeys(const MasterKeys&) = delete;
  MasterKeys& operator=(const MasterKeys&) = delete;

  // Derives the master key of `algorithm` (1 or 2) from the initial key,
  // unless it is derived already. 0 or a code of svcPbeInit.
  int32_t derive(const unsigned char* initialKey, int32_t length, int32_t algorithm);

  // Whether `key` reads the protected text: derives the master key of the
  // text's algorithm (once) and restores it. 0 with the plaintext
  // (released with svcPbeFreeBuf); a code for which isUnreadableValue holds
  // when this key cannot read it (a text of neither algorithm included);
  // else the failure of the service.
  int32_t restoreWith(const InitialKey& key, const char* text, size_t length, char** plaintext,
                      int32_t* plaintextLength);

  // svcPbeRestore under the context of the text's own algorithm, which must
  // be derived (else kPbeNotInitialised); kPbeMalformed for a text of
  // neither algorithm. The plaintext is released with svcPbeFreeBuf.
  int32_t restore(const char* text, size_t length, char** plaintext, int32_t* plaintextLength);

  // svcPbeSave under the context of `algorithm`, which must be derived
  // (else kPbeNotInitialised). The text is released with svcPbeFreeBuf. A
  // plaintext the service cannot take whole is refused (kPbeBadArgument),
  // never cut.
  int32_t protect(int32_t algorithm, const char* plaintext, size_t length, char** text,
                  int32_t* textLength);

 private:
  unsigned char salt_[kSaltLength];
  PbeContext contexts_[2] = {};
  bool derived_[2] = {false, false};
};

// Whether a code of svcPbeRestore says that the text is not readable with
// this key (malformed, another marker or algorithm, not authentic), as
// opposed to a failure of the service itself.
bool isUnreadableValue(int32_t code);

#endif  // ORV_LIB_ORVCRED_MASTER_KEYS_H_
