#include "lib/orv/config_access.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "lib/orv/keystore_line.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/runtime.h"
#include "platform/trace.h"

namespace {

constexpr const char* kSourceName = "lib/orv/config_access";

constexpr int32_t kTraceDetail = 2;

// Failure records: the reading buffer, and the three blocks of an entry.
constexpr int32_t kReadBufferLocation = 197;
constexpr int32_t kEntryRecordLocation = 326;
constexpr int32_t kEntryKeyLocation = 327;
constexpr int32_t kEntryValueLocation = 328;
constexpr int32_t kParseFailureProbe = 251;

// The size is kept in a signed 32-bit count and the buffer is one byte
// larger, so both must fit.
constexpr int64_t kMaxConfigFileSize = INT32_MAX - 1;


// A copy of `length` bytes and a NUL, or null after the failure record of
// `location`.
char* copyText(const char* text, size_t length, int32_t location) {
  void* block =
      obtainOrRecord(kFnParseConfigText, length + 1, kSourceName, location, kParseFailureProbe);
  if (block == nullptr) return nullptr;
  std::memcpy(block, text, length);
  static_cast<char*>(block)[length] = '\0';
  return static_cast<char*>(block);
}

// Makes an entry of key and value and appends it to the list. On failure
// nothing of the entry is left behind.
int32_t appendEntry(List* list, const KeystoreLine& line) {
  void* block = obtainOrRecord(kFnParseConfigText, sizeof(ConfigEntry), kSourceName,
                               kEntryRecordLocation, kParseFailureProbe);
  if (block == nullptr) return kConfigNoMemory;
  ConfigEntry* entry = static_cast<ConfigEntry*>(block);
  entry->key = nullptr;
  entry->value = nullptr;
  entry->key = copyText(line.text + line.entryKey.begin, line.entryKey.length, kEntryKeyLocation);
  if (entry->key != nullptr) {
    entry->value =
        copyText(line.text + line.entryValue.begin, line.entryValue.length, kEntryValueLocation);
  }
  if (entry->value == nullptr) {
    releaseConfigEntry(entry);
    return kConfigNoMemory;
  }

  // The list reports a node it could not get only through its count.
  uint64_t countBefore = list->getCount(list);
  list->append(list, entry);
  if (list->getCount(list) == countBefore) {
    releaseConfigEntry(entry);
    return kConfigNoMemory;
  }
  return kConfigOk;
}

// The per-user directory of the keystore feature into dst (kConfigPathSize
// bytes): the home directory and ".vkt", each followed by a separator.
int32_t userConfigDirectory(char* dst) {
  int32_t rc = osHomeDirectory(dst, kConfigPathSize);
  if (rc == kEnvNotText) return kConfigBadEnvironment;
  if (rc == kEnvTooLong) return kConfigPathTooLong;
  if (rc != 0) return kConfigNoPath;
  const char separator[] = {kPathSeparator, '\0'};
  return appendToPath(dst, separator) && appendToPath(dst, ".vkt") &&
                 appendToPath(dst, separator)
             ? kConfigOk
             : kConfigPathTooLong;
}

// A failed step of reading, with its errno.
int32_t failRead(int32_t* errorOut) {
  *errorOut = errno != 0 ? errno : EIO;
  return kConfigCannotRead;
}

}  // namespace

bool appendToPath(char* dst, const char* text) {
  size_t length = std::strlen(dst);
  size_t textLength = std::strlen(text);
  if (length + textLength >= kConfigPathSize ||
      osPathLength(dst) + osPathLength(text) > kConfigPathMaxLength) {
    return false;
  }
  std::memcpy(dst + length, text, textLength + 1);
  return true;
}

int32_t findConfigFilePath(char* dst, const char* envName, const char* fileName) {
  TraceScope scope(kFnFindConfigFilePath);
  if (dst == nullptr) return scope.result(kConfigNoPath);

  // Built apart, so that dst is untouched by a path that does not fit.
  char path[kConfigPathSize] = {};
  if (envName != nullptr && !osEnvironmentValid(envName)) return scope.result(kConfigBadEnvironment);
  const char* configured = envName != nullptr ? svcGetEnv(envName) : nullptr;
  if (configured != nullptr) {
    if (!appendToPath(path, configured)) return scope.result(kConfigPathTooLong);
  } else {
    int32_t rc = userConfigDirectory(path);
    if (rc != kConfigOk) return scope.result(rc);
    if (!appendToPath(path, fileName != nullptr ? fileName : "")) {
      return scope.result(kConfigPathTooLong);
    }
  }
  std::memcpy(dst, path, kConfigPathSize);

  ORV_TRACE_TEXT(kFnFindConfigFilePath, kTraceDetail, "Returning path : %s", dst);
  return scope.result(kConfigOk);
}

KeystoreFile::~KeystoreFile() {
  svcFreeMem(0, kMemoryComponent, 0, text);
  if (file != nullptr) osCloseFile(file);
}

int32_t readKeystoreFile(const char* path, KeystoreFile* keystore, int32_t* errorOut) {
  TraceScope scope(kFnReadConfigFile);
  *errorOut = 0;
  if (path == nullptr) {
    *errorOut = EINVAL;
    return scope.result(kConfigCannotRead);
  }
  ORV_TRACE_TEXT(kFnReadConfigFile, kTraceDetail, "Opening config file : %s", path);
  *errorOut = osWalkPath(path, nullptr, &keystore->where, keystore->refusedLink,
                         sizeof keystore->refusedLink);
  if (*errorOut == 0 && !keystore->where.exists) *errorOut = ENOENT;
  if (*errorOut != 0) return scope.result(kConfigCannotRead);
  errno = 0;
  // Binary, every byte as it is on disk; a link put in the walked name's
  // place since is not followed.
  keystore->file = osOpenForReading(keystore->where);
  if (keystore->file == nullptr) {
    *errorOut = errno;
    return scope.result(kConfigCannotRead);
  }
  *errorOut = osIdentifyFile(keystore->file, &keystore->id);
  if (*errorOut != 0) return scope.result(kConfigCannotRead);
  return scope.result(
      readConfigStream(keystore->file, &keystore->text, errorOut, &keystore->length));
}

int32_t readConfigFile(const char* path, char** bufferOut, int32_t* errorOut, size_t* sizeOut) {
  int32_t ignoredError = 0;
  if (errorOut == nullptr) errorOut = &ignoredError;
  if (sizeOut != nullptr) *sizeOut = 0;
  if (bufferOut == nullptr) {
    *errorOut = EINVAL;
    return kConfigCannotRead;
  }
  KeystoreFile keystore;
  int32_t rc = readKeystoreFile(path, &keystore, errorOut);
  *bufferOut = std::exchange(keystore.text, nullptr);
  if (sizeOut != nullptr) *sizeOut = keystore.length;
  if (osCloseFile(std::exchange(keystore.file, nullptr)) != 0 && rc == kConfigOk) {
    *errorOut = errno;
    rc = kConfigCannotRead;
  }
  return rc;
}

int32_t readConfigStream(FILE* stream, char** bufferOut, int32_t* errorOut, size_t* sizeOut) {
  *errorOut = 0;
  if (sizeOut != nullptr) *sizeOut = 0;
  errno = 0;
  if (osSeekFile(stream, 0, SEEK_END) != 0) return failRead(errorOut);
  int64_t size = osTellFile(stream);
  if (size == -1) return failRead(errorOut);
  int rewound = osSeekFile(stream, 0, SEEK_SET);
  if (size == 0) {
    // An empty file counts as unreadable; its error number is normally 0.
    *errorOut = errno;
    return kConfigCannotRead;
  }
  if (size < 0 || size > kMaxConfigFileSize) {
    errno = EFBIG;
    return failRead(errorOut);
  }
  if (rewound != 0) return failRead(errorOut);

  uint64_t bufferSize = static_cast<uint64_t>(size) + 1;
  *bufferOut = static_cast<char*>(
      obtainOrRecord(kFnReadConfigFile, bufferSize, kSourceName, kReadBufferLocation));
  if (*bufferOut == nullptr) {
    errno = ENOMEM;
    return failRead(errorOut);
  }
  std::memset(*bufferOut, 0, static_cast<size_t>(bufferSize));

  // The last byte is never read into, so a file that grew since it was
  // measured still leaves the text terminated.
  size_t read = osReadFile(*bufferOut, 1, static_cast<size_t>(size), stream);
  if (osFileError(stream)) return failRead(errorOut);
  if (sizeOut != nullptr) *sizeOut = read;
  return kConfigOk;
}

int32_t parseConfigText(char* text, List* list) {
  if (text == nullptr) return kConfigCannotParse;
  return parseConfigLines(text, std::strlen(text), list, nullptr, nullptr, nullptr, nullptr);
}

int32_t parseConfigLines(const char* text, size_t length, List* list,
                         bool (*keep)(const char* key, size_t length, const void* arg),
                         const void* arg, const char* watchedKey, ConfigParseReport* report) {
  TraceScope scope(kFnParseConfigText);
  ConfigParseReport ignored;
  if (report == nullptr) report = &ignored;
  *report = ConfigParseReport{};
  if (text == nullptr || list == nullptr) return scope.result(kConfigCannotParse);

  int32_t rc = kConfigOk;
  KeystoreLines lines(text, length);
  for (KeystoreLine line; rc != kConfigNoMemory && lines.next(&line);) {
    if (line.entry == EntryKind::kNone) continue;
    const char* key = line.text + line.entryKey.begin;
    size_t keyLength = line.entryKey.length;
    if (watchedKey != nullptr &&
        (lineKeyIs(line, watchedKey) ||
         (keyLength == std::strlen(watchedKey) && std::memcmp(key, watchedKey, keyLength) == 0))) {
      ++report->watchedLines;
    }
    if (line.entry == EntryKind::kUnreadable) {
      rc = kConfigCannotParse;
      if (report->failedLine == 0) report->failedLine = line.number;
      continue;
    }
    ++report->entryLines;
    // Credentials never reach the trace.
    bool masked = isCredentialKey(key, keyLength);
    ORV_TRACE_TEXT(kFnParseConfigText, kTraceDetail, "Read config line: Key: '%.*s' , Value: '%.*s'",
                   static_cast<int>(keyLength), key,
                   static_cast<int>(masked ? std::strlen(kConfigMaskedValue)
                                           : line.entryValue.length),
                   masked ? kConfigMaskedValue : line.text + line.entryValue.begin);
    if (keep == nullptr || keep(key, keyLength, arg)) {
      if (appendEntry(list, line) != kConfigOk) rc = kConfigNoMemory;
    }
  }
  if (rc == kConfigOk && report->entryLines == 0) rc = kConfigCannotParse;
  return scope.result(rc);
}

int32_t configKeyEquals(const void* entry, const void* name) {
  if (entry == nullptr || name == nullptr) return 0;
  const char* key = static_cast<const ConfigEntry*>(entry)->key;
  if (key == nullptr) return 0;
  return std::strcmp(key, static_cast<const char*>(name)) == 0 ? 1 : 0;
}

void freeConfigEntry(void* entry) {
  if (entry == nullptr) return;
  ConfigEntry* configEntry = static_cast<ConfigEntry*>(entry);
  if (configEntry->key != nullptr) svcFreeMem(0, kMemoryComponent, 0, configEntry->key);
  configEntry->key = nullptr;
  if (configEntry->value != nullptr) svcFreeMem(0, kMemoryComponent, 0, configEntry->value);
  configEntry->value = nullptr;
}

void releaseConfigEntry(ConfigEntry* entry) {
  freeConfigEntry(entry);
  svcFreeMem(0, kMemoryComponent, 0, entry);
}
