// The C interface of the orvcred library over the configuration reader, the
// initial key rule and the PBE service.
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "lib/orv/config_access.h"
#include "lib/orv/keystore_line.h"
#include "lib/orv/list.h"
#include "lib/orv/param_lookup.h"
#include "lib/orvcred/keystore_reader.h"
#include "lib/orvcred/master_keys.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/pbe.h"

struct orvcred_keystore {
  List* entries = nullptr;  // ConfigEntry elements, in file order
  MasterKeys keys;
  bool usesDefaultKey = false;

  ~orvcred_keystore() { destroyConfigList(entries); }
};

namespace {

constexpr int32_t kProbeHandle = 500;
constexpr int32_t kProbeValue = 501;

// The entries of a keystore text, as the configuration reader reads them.
// A line it cannot read holds no entry; orvseal protects the values of such
// a file all the same, so it is no reason to refuse the rest. An ORVCRED
// code; *entriesOut is null on failure.
int32_t readEntries(const char* text, size_t length, List** entriesOut) {
  *entriesOut = nullptr;
  List* entries = createList();
  if (entries == nullptr) return ORVCRED_NO_MEMORY;
  int32_t rc = parseConfigLines(text, length, entries, nullptr, nullptr, nullptr, nullptr);
  if (rc == kConfigNoMemory) {
    destroyConfigList(entries);
    return ORVCRED_NO_MEMORY;
  }
  *entriesOut = entries;
  return ORVCRED_OK;
}

const ConfigEntry* entryOf(const ListNode* node) {
  return static_cast<const ConfigEntry*>(node->data);
}

bool isProtectedEntry(const ConfigEntry* entry) {
  return isCredentialKey(entry->key, std::strlen(entry->key)) &&
         isProtectedText(entry->value, std::strlen(entry->value));
}

// Derives the master key of every algorithm that a protected value uses.
int32_t deriveKeys(orvcred_keystore* keystore, const InitialKey& key) {
  for (const ListNode* node = keystore->entries->head; node != nullptr; node = node->next) {
    const ConfigEntry* entry = entryOf(node);
    if (!isProtectedEntry(entry)) continue;
    int32_t algorithm = protectedTextAlgorithm(entry->value, std::strlen(entry->value));
    if (algorithm == 0) continue;  // not readable; orvcred_get says so
    int32_t rc = keystore->keys.derive(key.bytes, key.length, algorithm);
    if (rc != 0) return orvcredCode(rc);
  }
  return ORVCRED_OK;
}

// A new value buffer of `length` bytes and a NUL, wiped when released.
char* copyValue(const char* text, size_t length) {
  void* block = nullptr;
  if (svcGetMem(0, kMemoryComponent, kProbeValue, static_cast<uint64_t>(length) + 1, 0, &block) !=
      0) {
    return nullptr;
  }
  char* value = static_cast<char*>(block);
  std::memcpy(value, text, length);
  value[length] = '\0';
  return value;
}

// The algorithm that seals the plaintext credentials a handle holds.
constexpr int32_t kSealAlgorithm = 2;

// Seals every plaintext credential under the handle's own master key: the
// handle then holds no credential in plain text until orvcred_get is asked
// for one, which reads it back like a value protected in the file.
int32_t sealPlaintexts(orvcred_keystore* keystore, const InitialKey& key) {
  for (ListNode* node = keystore->entries->head; node != nullptr; node = node->next) {
    auto* entry = static_cast<ConfigEntry*>(node->data);
    size_t length = std::strlen(entry->value);
    if (!isCredentialKey(entry->key, std::strlen(entry->key)) ||
        isProtectedText(entry->value, length)) {
      continue;
    }
    char* text = nullptr;
    int32_t textLength = 0;
    int32_t rc = keystore->keys.derive(key.bytes, key.length, kSealAlgorithm);
    if (rc == 0) rc = keystore->keys.protect(kSealAlgorithm, entry->value, length, &text, &textLength);
    char* sealed = rc == 0 ? copyValue(text, static_cast<size_t>(textLength)) : nullptr;
    svcPbeFreeBuf(text, textLength);
    if (rc != 0) return orvcredCode(rc);
    if (sealed == nullptr) return ORVCRED_NO_MEMORY;
    svcFreeMem(0, kMemoryComponent, 0, std::exchange(entry->value, sealed));
  }
  return ORVCRED_OK;
}

}  // namespace

namespace {

// The rows of the table of results (platform/results.h) that the library
// reports: a result with no library code is a failure of the services.
struct LibraryResult {
  int32_t code;
  int32_t exit;
  int library;
  const char* meaning;
};

constexpr LibraryResult kLibraryResults[] = {
#define ORV_LIBRARY_ROW(name, code, exit, message, library, meaning) \
  {code, exit, library, meaning},
    ORV_ALL_RESULTS(ORV_LIBRARY_ROW)
#undef ORV_LIBRARY_ROW
};

}  // namespace

int32_t orvcredCode(int32_t code) {
  for (const LibraryResult& row : kLibraryResults) {
    if (row.code == code && row.library != kNoLibraryCode) return row.library;
  }
  return ORVCRED_CRYPTO_FAILURE;
}

int32_t openKeystoreText(const char* text, size_t length, const InitialKey& key,
                         orvcred_keystore** handle) {
  *handle = nullptr;
  List* entries = nullptr;
  int32_t rc = readEntries(text, length, &entries);
  if (rc != ORVCRED_OK) return rc;
  void* block = nullptr;
  if (svcGetMem(0, kMemoryComponent, kProbeHandle, sizeof(orvcred_keystore), 0, &block) != 0) {
    destroyConfigList(entries);
    return ORVCRED_NO_MEMORY;
  }
  auto* keystore = new (block) orvcred_keystore;
  keystore->entries = entries;
  keystore->usesDefaultKey = key.isDefault;
  rc = deriveKeys(keystore, key);
  if (rc == ORVCRED_OK) rc = sealPlaintexts(keystore, key);
  if (rc != ORVCRED_OK) {
    orvcred_close(keystore);
    return rc;
  }
  *handle = keystore;
  return ORVCRED_OK;
}

namespace {

constexpr int kOpenAttempts = 3;

// One reading of the keystore and its key, from the walk to the handle;
// `keystore` keeps the file read (held folder and identity), and `keyFailed`
// tells that the text was sound but its key could not be had.
int32_t openOnce(const char* path, const char* keyFile, orvcred_keystore** handle,
                 KeystoreFile* keystore, bool* keyFailed) {
  int32_t error = 0;
  int32_t rc = readKeystoreFile(path, keystore, &error);
  // Read whole: the library holds no file of its caller's longer than that.
  osCloseFile(std::exchange(keystore->file, nullptr));
  if (rc != kConfigOk) {
    rc = error == ENOMEM ? ORVCRED_NO_MEMORY : ORVCRED_KEYSTORE_UNREADABLE;
  } else {
    TextCheck check;
    KeystoreLine unclear;
    rc = orvcredCode(keystoreFault(keystore->text, keystore->length, &check, &unclear));
  }
  InitialKey key;
  if (rc == ORVCRED_OK) {
    rc = orvcredCode(
        chooseInitialKey(keystore->where, keystore->text, keystore->length, keyFile, &key));
    *keyFailed = rc != ORVCRED_OK;
  }
  if (rc == ORVCRED_OK) rc = openKeystoreText(keystore->text, keystore->length, key, handle);
  // The text held the whole file, credentials included: wiped now, not when
  // the caller is done.
  svcFreeMem(0, kMemoryComponent, 0, std::exchange(keystore->text, nullptr));
  return rc;
}

// orvcred_open after its argument check: the keystore read once, refused
// where orvseal refuses it, and its key chosen by the same rule.
int32_t openKeystore(const char* keystorePath, const char* keyFile, orvcred_keystore** handle) {
  char locatedPath[kConfigPathSize] = {};
  if (keystorePath == nullptr) {
    int32_t located = findConfigFilePath(locatedPath, "VKT_KEYSTORE_CONF", "keystore.conf");
    if (located == kConfigBadEnvironment) return ORVCRED_BAD_ENVIRONMENT;
    if (located != kConfigOk) return ORVCRED_NO_LOCATION;
    keystorePath = locatedPath;
  }
  // A key rotation replaces the keystore, which then names the new key file,
  // and retires the old key file after it. An open that read the keystore
  // before the replacement and looked for its key file after the retirement
  // finds no key: when the name in the held folder holds another file than
  // the one read by then, the new one is read instead.
  for (int attempt = 1;; ++attempt) {
    KeystoreFile keystore;
    FileId now;
    bool keyFailed = false;
    bool exists = false;
    int32_t rc = openOnce(keystorePath, keyFile, handle, &keystore, &keyFailed);
    if (!keyFailed || attempt == kOpenAttempts || !keystore.id.known() ||
        osIdentifyAt(keystore.where, &now, &exists) != 0 || !exists || now == keystore.id) {
      return rc;
    }
  }
}

}  // namespace

extern "C" {

int orvcred_open(const char* keystore_path, const char* key_file, orvcred_keystore** handle) {
  if (handle == nullptr) return ORVCRED_BAD_ARGUMENT;
  *handle = nullptr;
  return openKeystore(keystore_path, key_file, handle);
}

int orvcred_uses_default_key(const orvcred_keystore* handle) {
  return handle != nullptr && handle->usesDefaultKey ? 1 : 0;
}

int orvcred_get(orvcred_keystore* handle, const char* key, char** value, size_t* length) {
  if (value != nullptr) *value = nullptr;
  if (length != nullptr) *length = 0;
  if (handle == nullptr || key == nullptr || value == nullptr || length == nullptr) {
    return ORVCRED_BAD_ARGUMENT;
  }
  List* entries = handle->entries;
  uint32_t matches = entries->countMatchingWithKey(entries, configKeyEquals, key);
  if (matches == 0) return ORVCRED_MISSING_KEY;
  if (matches > 1) return ORVCRED_DUPLICATE_KEY;
  const ConfigEntry* entry = entryOf(entries->findFirstWithKey(entries, configKeyEquals, key));
  size_t textLength = std::strlen(entry->value);
  if (!isProtectedEntry(entry)) {
    *value = copyValue(entry->value, textLength);
    if (*value == nullptr) return ORVCRED_NO_MEMORY;
    *length = textLength;
    return ORVCRED_OK;
  }
  char* plaintext = nullptr;
  int32_t plaintextLength = 0;
  int32_t rc = handle->keys.restore(entry->value, textLength, &plaintext, &plaintextLength);
  // Only a value whose algorithm no key was derived for meets this: neither 1 nor 2.
  if (rc == kPbeNotInitialised) rc = kPbeMalformed;
  if (rc != 0) return orvcredCode(rc);
  *value = copyValue(plaintext, static_cast<size_t>(plaintextLength));
  svcPbeFreeBuf(plaintext, plaintextLength);
  if (*value == nullptr) return ORVCRED_NO_MEMORY;
  *length = static_cast<size_t>(plaintextLength);
  return ORVCRED_OK;
}

void orvcred_free_value(char* value) { svcFreeMem(0, kMemoryComponent, 0, value); }

void orvcred_close(orvcred_keystore* handle) {
  if (handle == nullptr) return;
  handle->~orvcred_keystore();
  svcFreeMem(0, kMemoryComponent, 0, handle);
}

// A library code's text is the meaning of the result that the command
// exits with under the same number, or else of the first result that
// the library reports with it.
const char* orvcred_error_text(int code) {
  const char* first = nullptr;
  for (const LibraryResult& row : kLibraryResults) {
    if (row.library != code || code == kNoLibraryCode) continue;
    if (row.exit == code) return row.meaning;
    if (first == nullptr) first = row.meaning;
  }
  return first != nullptr ? first : "unknown result code";
}

}  // extern "C"
