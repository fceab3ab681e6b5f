#include "lib/orvcred/master_keys.h"

#include <cstdint>
#include <cstring>

#include "lib/orv/keystore_line.h"
#include "lib/orvcred/initial_key.h"
#include "platform/runtime.h"

MasterKeys::MasterKeys() {
  buildSalt(salt_);
}

MasterKeys::~MasterKeys() {
  for (int i = 0; i < 2; ++i) {
    if (derived_[i]) svcPbeTerm(&contexts_[i]);
  }
  osSecureWipe(contexts_, sizeof contexts_);
}

int32_t MasterKeys::derive(const unsigned char* initialKey, int32_t length, int32_t algorithm) {
  if (algorithm != 1 && algorithm != 2) return kPbeBadAlgorithm;
  PbeContext& context = contexts_[algorithm - 1];
  if (derived_[algorithm - 1]) return 0;
  context.algorithm = algorithm;
  context.marker = kProtectedMarker;
  context.initialKey = initialKey;
  context.initialKeyLength = length;
  context.saltLength = kSaltLength;
  context.salt = salt_;
  int32_t rc = svcPbeInit(&context);
  // The initial key is the caller's and may go once the master key is there.
  context.initialKey = nullptr;
  context.initialKeyLength = 0;
  if (rc == 0) derived_[algorithm - 1] = true;
  return rc;
}

int32_t MasterKeys::restore(const char* text, size_t length, char** plaintext,
                            int32_t* plaintextLength) {
  *plaintext = nullptr;
  *plaintextLength = 0;
  int32_t algorithm = protectedTextAlgorithm(text, length);
  if (algorithm == 0 || length > static_cast<size_t>(INT32_MAX)) return kPbeMalformed;
  if (!derived_[algorithm - 1]) return kPbeNotInitialised;
  return svcPbeRestore(&contexts_[algorithm - 1], text, static_cast<int32_t>(length), plaintext,
                       plaintextLength);
}

int32_t MasterKeys::protect(int32_t algorithm, const char* plaintext, size_t length, char** text,
                            int32_t* textLength) {
  *text = nullptr;
  *textLength = 0;
  if (algorithm != 1 && algorithm != 2) return kPbeBadAlgorithm;
  if (!derived_[algorithm - 1]) return kPbeNotInitialised;
  if (length > static_cast<size_t>(INT32_MAX)) return kPbeBadArgument;
  return svcPbeSave(&contexts_[algorithm - 1], plaintext, static_cast<int32_t>(length), text,
                    textLength);
}

int32_t MasterKeys::restoreWith(const InitialKey& key, const char* text, size_t length,
                                char** plaintext, int32_t* plaintextLength) {
  *plaintext = nullptr;
  *plaintextLength = 0;
  int32_t algorithm = protectedTextAlgorithm(text, length);
  if (algorithm == 0) return kPbeMalformed;
  int32_t rc = derive(key.bytes, key.length, algorithm);
  return rc != 0 ? rc : restore(text, length, plaintext, plaintextLength);
}

bool isUnreadableValue(int32_t code) {
  return code == kPbeMalformed || code == kPbeWrongMarker || code == kPbeWrongAlgorithm ||
         code == kPbeNotAuthentic;
}
