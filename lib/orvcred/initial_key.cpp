#include "lib/orvcred/initial_key.h"

#include <cstring>

#include "lib/orv/param_lookup.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/pbe.h"
#include "platform/runtime.h"

namespace {

// The default key's two halves. Changing either makes every value protected
// with the default key unreadable.
constexpr unsigned char kDefaultKeyA[kDefaultKeyLength] = {
    0x5C, 0x2A, 0x3E, 0x89, 0x07, 0xBE, 0xD6, 0x47, 0x93, 0x96, 0xC9, 0x82, 0x1A, 0xF0, 0x8C, 0x2C,
    0x0F, 0x28, 0x15, 0x29, 0x19, 0x8B, 0xD3, 0xFB, 0x2E, 0xD8, 0x3C, 0x8A, 0xAF, 0x49, 0x68, 0xCE};
constexpr unsigned char kDefaultKeyB[kDefaultKeyLength] = {
    0xB0, 0xA8, 0x9D, 0xAC, 0xD0, 0xB6, 0x40, 0x9B, 0x64, 0xDB, 0x90, 0xC4, 0x05, 0xD3, 0x0C, 0xC1,
    0x21, 0x7D, 0x24, 0xFC, 0x1B, 0x95, 0xC4, 0x7D, 0x86, 0x18, 0x3A, 0x2A, 0xCB, 0x18, 0x03, 0x23};

// The salt as six little-endian 32-bit words. Changing it makes every
// protected value unreadable.
constexpr uint32_t kSaltWords[kSaltLength / 4] = {0xEB73ED94u, 0xDE010081u, 0x7233D518u,
                                                  0x5943BE7Du, 0x880D398Eu, 0xA34763C0u};

// The orvcred.keyfile lookup. 0 with `name` set to the name the keystore
// gives (empty when it names no key file) and key->keystoreKeyFile to the
// path it names, or a failure of the lookup. A keystore that does not parse
// but names no key file has none.
int32_t keystoreKeyFile(const WalkedPath& keystore, const char* text, size_t length,
                        char (&name)[kConfigPathSize], InitialKey* key) {
  KeyFileLookup lookup;
  static_assert(sizeof key->keystoreParamName >= kKeyFileNameSize, "room for the name");
  name[0] = '\0';
  int32_t rc = getKeyFileParam(name, text, length, key->keystoreParamName, &lookup);
  if (lookup.failedLineSkipped) key->skippedLine = lookup.failedLine;
  if (rc == kConfigOk && name[0] != '\0') {
    rc = keystoreRelativePath(keystore.text, name, key->keystoreKeyFile);
    if (rc != kConfigOk) {
      key->keystoreEntryFault = rc;
      return kConfigCannotRead;
    }
  }
  if (rc == kConfigOk || rc == kConfigNoStanza) return kConfigOk;
  name[0] = '\0';
  if (rc == kConfigCannotParse && !lookup.keyFileNamed) {
    key->keystoreUnparsed = true;
    return kConfigOk;
  }
  if (rc == kConfigCannotParse || rc == kConfigParamNotUnique || rc == kConfigPathTooLong) {
    key->keystoreEntryFault = rc;
    key->keystoreEntryLine = lookup.failedLine;
    return kConfigCannotRead;
  }
  return rc;
}

}  // namespace

void buildSalt(unsigned char salt[kSaltLength]) {
  for (int word = 0; word < kSaltLength / 4; ++word) {
    for (int byte = 0; byte < 4; ++byte) {
      salt[word * 4 + byte] = static_cast<unsigned char>(kSaltWords[word] >> (8 * byte));
    }
  }
}

int32_t keystoreRelativePath(const char* keystorePath, const char* name, char* out) {
  out[0] = '\0';
  if (!osIsAbsolutePath(name)) {
    // The folder: everything up to the last separator, which stays.
    if (!appendToPath(out, keystorePath)) return kConfigPathTooLong;
    size_t folder = 0;
    for (size_t i = 0; out[i] != '\0'; ++i) {
      if (out[i] == kPathSeparator || out[i] == '/') folder = i + 1;
    }
    out[folder] = '\0';
  }
  return appendToPath(out, name) ? kConfigOk : kConfigPathTooLong;
}

const char* keyFileBaseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (p[0] == kPathSeparator && p[1] != '\0' && p[1] != kPathSeparator) base = p + 1;
  }
  return base;
}

void buildDefaultKey(unsigned char key[kDefaultKeyLength]) {
  for (int i = 0; i < kDefaultKeyLength; ++i) {
    key[i] = static_cast<unsigned char>(kDefaultKeyA[i] ^ kDefaultKeyB[kDefaultKeyLength - 1 - i]);
  }
}

void InitialKey::release() {
  pbeReleaseInitialKey(fileKey_);
  fileKey_ = nullptr;
  osSecureWipe(defaultKey_, sizeof defaultKey_);
  bytes = nullptr;
  length = 0;
}

int32_t chooseInitialKey(const WalkedPath& keystore, const char* text, size_t length,
                         const char* keyFile, InitialKey* key) {
  key->release();
  key->keystoreEntryFault = 0;
  key->keystoreEntryLine = 0;
  key->keystoreUnparsed = false;
  key->skippedLine = 0;
  key->keystoreKeyFile[0] = '\0';
  key->source = InitialKeySource::kExplicit;
  if (keyFile == nullptr) {
    key->source = InitialKeySource::kEnvironment;
    if (!osEnvironmentValid(kKeyFileEnvName)) return kConfigBadEnvironment;
    keyFile = svcGetEnv(kKeyFileEnvName);
  }
  // A name the keystore gives is taken from the keystore's own folder, held
  // since it was read; a name a user types, from the current folder.
  char keystoreName[kConfigPathSize] = {};
  const WalkedPath* base = nullptr;
  const char* readName = keyFile;
  if (keyFile == nullptr) {
    key->source = InitialKeySource::kKeystore;
    int32_t rc = keystoreKeyFile(keystore, text, length, keystoreName, key);
    if (rc != kConfigOk) return rc;
    if (keystoreName[0] != '\0') {
      keyFile = key->keystoreKeyFile;
      readName = keystoreName;
      base = &keystore;
    }
  }
  key->keyFilePath = keyFile;
  key->isDefault = keyFile == nullptr;
  if (key->isDefault) {
    key->source = InitialKeySource::kDefault;
    buildDefaultKey(key->defaultKey_);
    key->bytes = key->defaultKey_;
    key->length = kDefaultKeyLength;
    return 0;
  }
  int32_t rc =
      pbeReadInitialKeyFileAt(readName, base, &key->fileKey_, &key->length, &key->fileRead);
  if (rc != 0) return rc;
  key->bytes = key->fileKey_;
  return 0;
}
