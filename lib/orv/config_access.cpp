#include "lib/orv/config_access.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lib/orv/config_syntax.h"
#include "lib/orv/credential_keys.h"
#include "lib/orv/home_dir.h"
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


// Skips leading whitespace and ends the text behind its last non-whitespace
// character, in place.
char* trimInPlace(char* text) {
  while (isConfigWhitespace(*text)) ++text;
  char* end = text + std::strlen(text);
  while (end > text && isConfigWhitespace(end[-1])) --end;
  *end = '\0';
  return text;
}

// A copy of text in a block of its length plus one, or null after the
// failure record of `location`.
char* copyText(const char* text, int32_t location) {
  size_t size = std::strlen(text) + 1;
  void* block = obtainOrRecord(kFnParseConfigText, size, kSourceName, location, kParseFailureProbe);
  if (block == nullptr) return nullptr;
  std::memcpy(block, text, size);
  return static_cast<char*>(block);
}

// Makes an entry of key and value and appends it to the list. On failure
// nothing of the entry is left behind.
int32_t appendEntry(List* list, const char* key, const char* value) {
  void* block = obtainOrRecord(kFnParseConfigText, sizeof(ConfigEntry), kSourceName,
                               kEntryRecordLocation, kParseFailureProbe);
  if (block == nullptr) return kConfigNoMemory;
  ConfigEntry* entry = static_cast<ConfigEntry*>(block);
  entry->key = nullptr;
  entry->value = nullptr;
  entry->key = copyText(key, kEntryKeyLocation);
  if (entry->key != nullptr) entry->value = copyText(value, kEntryValueLocation);
  if (entry->value == nullptr) {
    releaseConfigEntry(entry);
    return kConfigNoMemory;
  }

  // Credentials never reach the trace.
  ORV_TRACE_TEXT(kFnParseConfigText, kTraceDetail, "Read config line: Key: '%s' , Value: '%s'",
                 entry->key, isCredentialKey(entry->key) ? kConfigMaskedValue : entry->value);

  // The list reports a node it could not get only through its count.
  uint64_t countBefore = list->getCount(list);
  list->append(list, entry);
  if (list->getCount(list) == countBefore) {
    releaseConfigEntry(entry);
    return kConfigNoMemory;
  }
  return kConfigOk;
}

// Closes the stream after a failed step, keeping that step's errno.
int32_t failRead(FILE* stream, int32_t* errorOut) {
  *errorOut = errno;
  osCloseFile(stream);
  return kConfigCannotRead;
}

}  // namespace

bool appendToPath(char* dst, const char* text) {
  size_t length = std::strlen(dst);
  size_t textLength = std::strlen(text);
  if (length + textLength > kConfigPathMaxLength) return false;
  std::memcpy(dst + length, text, textLength + 1);
  return true;
}

int32_t findConfigFilePath(char* dst, const char* envName, const char* fileName) {
  TraceScope scope(kFnFindConfigFilePath);
  if (dst == nullptr) return scope.result(kConfigNoPath);

  // Built apart, so that dst is untouched by a path that does not fit.
  char path[kConfigPathSize] = {};
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

int32_t readConfigFile(const char* path, char** bufferOut, int32_t* errorOut, size_t* sizeOut) {
  TraceScope scope(kFnReadConfigFile);
  int32_t ignoredError = 0;
  if (errorOut == nullptr) errorOut = &ignoredError;
  if (bufferOut == nullptr) {
    *errorOut = errno;
    return scope.result(kConfigCannotRead);
  }
  if (path == nullptr) {
    *errorOut = EINVAL;
    return scope.result(kConfigCannotRead);
  }

  ORV_TRACE_TEXT(kFnReadConfigFile, kTraceDetail, "Opening config file : %s", path);
  errno = 0;
  *errorOut = 0;

  if (sizeOut != nullptr) *sizeOut = 0;
  // Binary: every byte as it is on disk, on every platform (a text-mode
  // stream on Windows would end the file at a 0x1A byte).
  FILE* stream = osOpenFile(path, "rbN");
  if (stream == nullptr) {
    *errorOut = errno;
    return scope.result(kConfigCannotRead);
  }

  if (osSeekFile(stream, 0, SEEK_END) != 0) return scope.result(failRead(stream, errorOut));
  int64_t size = osTellFile(stream);
  if (size == -1) return scope.result(failRead(stream, errorOut));
  int rewound = osSeekFile(stream, 0, SEEK_SET);
  if (size == 0) {
    // An empty file counts as unreadable; its error number is normally 0.
    osCloseFile(stream);
    *errorOut = errno;
    return scope.result(kConfigCannotRead);
  }
  if (size < 0 || size > kMaxConfigFileSize) {
    errno = EFBIG;
    return scope.result(failRead(stream, errorOut));
  }
  if (rewound != 0) return scope.result(failRead(stream, errorOut));

  uint64_t bufferSize = static_cast<uint64_t>(size) + 1;
  *bufferOut = static_cast<char*>(
      obtainOrRecord(kFnReadConfigFile, bufferSize, kSourceName, kReadBufferLocation));
  if (*bufferOut == nullptr) {
    errno = ENOMEM;
    return scope.result(failRead(stream, errorOut));
  }
  std::memset(*bufferOut, 0, static_cast<size_t>(bufferSize));

  // The last byte is never read into, so a file that grew since it was
  // measured still leaves the text terminated.
  size_t read = osReadFile(*bufferOut, 1, static_cast<size_t>(size), stream);
  if (osFileError(stream)) return scope.result(failRead(stream, errorOut));

  if (osCloseFile(stream) != 0) {
    *errorOut = errno;
    return scope.result(kConfigCannotRead);
  }
  if (sizeOut != nullptr) *sizeOut = read;
  return scope.result(kConfigOk);
}

int32_t parseConfigText(char* text, List* list) {
  return parseConfigLines(text, list, nullptr, nullptr, nullptr, nullptr);
}

int32_t parseConfigLines(char* text, List* list, bool (*keep)(const char* key, const void* arg),
                         const void* arg, const char* watchedKey, ConfigParseReport* report) {
  TraceScope scope(kFnParseConfigText);
  ConfigParseReport ignored;
  if (report == nullptr) report = &ignored;
  *report = ConfigParseReport{};
  if (text == nullptr || list == nullptr) return scope.result(kConfigCannotParse);
  text += byteOrderMarkLength(text, std::strlen(text));

  // Lines are split by hand rather than by a tokeniser, so that each keeps
  // its number; empty lines are skipped like blank ones.
  int32_t rc = kConfigOk;
  int64_t lineNumber = 0;
  for (char* line = text; *line != '\0';) {
    ++lineNumber;
    char* newline = std::strchr(line, '\n');
    char* next = newline != nullptr ? newline + 1 : line + std::strlen(line);
    if (newline != nullptr) *newline = '\0';
    char* trimmed = trimInPlace(line);
    line = next;
    if (trimmed[0] == '\0' || trimmed[0] == '#') continue;

    int32_t lineRc = kConfigOk;
    char* equals = std::strchr(trimmed, '=');
    char* key = trimmed;
    char* value = nullptr;
    if (equals == nullptr) {
      lineRc = kConfigCannotParse;
    } else {
      *equals = '\0';
      // The line starts with non-whitespace, so only the key's end needs trimming.
      key = trimInPlace(trimmed);
      value = equals + 1;
      while (isConfigWhitespace(*value)) ++value;
      *const_cast<char*>(configValueEnd(value, value + std::strlen(value))) = '\0';
      if (watchedKey != nullptr && std::strcmp(key, watchedKey) == 0) ++report->watchedLines;
      // A key that would not fit whole is refused rather than cut, so two
      // different long keys can never be taken for the same one.
      if (std::strlen(key) > kConfigKeyMaxLength || value[0] == '\0') lineRc = kConfigCannotParse;
    }
    if (lineRc == kConfigOk) {
      ++report->entryLines;
      if (rc == kConfigOk && (keep == nullptr || keep(key, arg))) rc = appendEntry(list, key, value);
    } else if (rc == kConfigOk) {
      rc = lineRc;
    }
    if (rc != kConfigOk && report->failedLine == 0) report->failedLine = lineNumber;
    // Nothing more is learnt from the rest of a file without a watched key.
    if (rc != kConfigOk && watchedKey == nullptr) break;
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
