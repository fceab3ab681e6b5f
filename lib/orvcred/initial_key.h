#ifndef ORV_LIB_ORVCRED_INITIAL_KEY_H_
#define ORV_LIB_ORVCRED_INITIAL_KEY_H_

#include <cstdint>

#include "lib/orv/config_access.h"
#include "lib/orv/keystore_line.h"
#include "platform/key_file.h"
#include "platform/paths.h"

// Which initial key protects a keystore's values, and the fixed salt and
// default key that go with it. Both commands and the orvcred library decide
// the key here, so that they always agree.

constexpr int32_t kSaltLength = 24;
constexpr int32_t kDefaultKeyLength = 32;

// Writes the 24-byte salt, from its six 32-bit constants.
void buildSalt(unsigned char salt[kSaltLength]);

// Builds the default initial key: byte i is A[i] XOR B[31 - i].
void buildDefaultKey(unsigned char key[kDefaultKeyLength]);

constexpr const char* kKeyFileEnvName = "VKT_ORVCRED_KEYFILE";

// The part of a key file's path that the message of an unreadable key file
// names: what follows the last separator that has a character other than
// NUL or a separator after it; the whole path when there is none.
const char* keyFileBaseName(const char* path);

// The file that a key file name read from a keystore's orvcred.keyfile
// names: an absolute name as it is; a relative one taken from the folder of
// the keystore file, never from the current folder, which whoever starts a
// program chooses. `keystorePath` has its links followed already (the
// caller resolved it once, to read the keystore). 0, or kConfigPathTooLong
// when the result would not fit `out` (kConfigPathSize bytes).
int32_t keystoreRelativePath(const char* keystorePath, const char* name, char* out);

enum class InitialKeySource {
  kExplicit,     // the caller named the key file (-sf, or the library's argument)
  kEnvironment,  // VKT_ORVCRED_KEYFILE, whatever its text
  kKeystore,     // the keystore's orvcred.keyfile
  kDefault,      // the built-in default key
};

// The key chosen by chooseInitialKey. It owns the key bytes and wipes them
// when destroyed (or by release()).
struct InitialKey {
  InitialKey() = default;
  ~InitialKey() { release(); }
  InitialKey(const InitialKey&) = delete;
  InitialKey& operator=(const InitialKey&) = delete;

  // Wipes the key; bytes becomes null. Safe to call more than once.
  void release();

  const unsigned char* bytes = nullptr;
  int32_t length = 0;
  bool isDefault = false;
  InitialKeySource source = InitialKeySource::kDefault;
  // The key file named (null for the default key): the caller's or the
  // environment's text, or keystoreKeyFile. Set also when reading it failed.
  const char* keyFilePath = nullptr;
  // When chooseInitialKey returns kConfigCannotRead because the keystore's
  // own orvcred.keyfile cannot be used, the result a command ends with and
  // reports by its message (platform/results.h): kConfigCannotParse (a line
  // of the file cannot be read: keystoreEntryLine), kConfigParamNotUnique
  // (the entry is repeated) or kConfigPathTooLong (its value is too long);
  // else 0.
  int32_t keystoreEntryFault = 0;
  int64_t keystoreEntryLine = 0;
  // The keystore names no key file and a line of it cannot be read: the
  // default key applies, and the caller may say why the lookup failed.
  bool keystoreUnparsed = false;
  // The keystore names its key file, and this line (0: none) cannot be
  // read: it holds nothing any reader takes, and the caller warns of it.
  int64_t skippedLine = 0;
  // What the keystore lookup looked up when it failed: "orvcred", or
  // "orvcred.keyfile" when the parameter itself was at fault.
  char keystoreParamName[16] = {};
  char keystoreKeyFile[kConfigPathSize] = {};
  // Why the key file named could not be read, when it could not.
  KeyFileRead fileRead;

 private:
  unsigned char* fileKey_ = nullptr;  // a key buffer of svcPbeReadInitialKeyFile
  unsigned char defaultKey_[kDefaultKeyLength] = {};
  friend int32_t chooseInitialKey(const WalkedPath&, const char*, size_t, const char*,
                                  InitialKey*);
};

// Settles the initial key for the keystore file walked to as `keystore`,
// whose whole text is `text` (`length` bytes, as the caller read it once):
// keyFile when it is non-null; else the file that VKT_ORVCRED_KEYFILE names
// when it is set, whatever its text; else the keystore's orvcred.keyfile;
// else the built-in default key. A relative orvcred.keyfile is taken from
// the keystore's folder, held since the keystore was read; keyFile and the
// variable's name, which a user types, from the current folder. A keystore
// that has an orvcred.keyfile line which cannot be used (a line of the file
// cannot be read, the entry is repeated or too long) never falls back to
// the default key: that is a failure. Only a keystore that names no key
// file leads to the default key.
// Returns 0 with key->bytes set; or kConfigCannotRead (its entry unusable:
// see keystoreEntryFault), kConfigBadEnvironment (VKT_ORVCRED_KEYFILE holds
// no valid text), kConfigNoMemory, or the code of the key file's read
// (kPbeKeyFile..., kPbeNoMemory; key->fileRead says why). On failure
// key->bytes stays null; the source and path say what was tried. Shows no
// message: the caller reports.
int32_t chooseInitialKey(const WalkedPath& keystore, const char* text, size_t length,
                         const char* keyFile, InitialKey* key);

#endif  // ORV_LIB_ORVCRED_INITIAL_KEY_H_
