// orvseal_reveal: reads the protected values of a keystore file back, for the
// end-to-end tests. Prints "key=plaintext" for every line whose value is a
// protected text, in file order, and fails on any value that does not read
// back. It prints plaintext credentials: a test tool, never installed.
//
//   orvseal_reveal [-sf initial_key_file] keystore_file
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "cmd/orv/command_records.h"
#include "platform/pbe.h"
#include "platform/program.h"

namespace {

bool readWhole(const char* path, std::string* text) {
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  char chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text->append(chunk, got);
  bool ok = std::ferror(file) == 0;
  std::fclose(file);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const char* keyFile = nullptr;
  const char* keystore = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-sf") == 0 && i + 1 < argc) {
      keyFile = argv[++i];
    } else {
      keystore = argv[i];
    }
  }
  if (keystore == nullptr) {
    std::fprintf(stderr, "usage: orvseal_reveal [-sf initial_key_file] keystore_file\n");
    return 2;
  }
  unsigned char defaultKey[kDefaultKeyLength];
  unsigned char salt[kSaltLength];
  buildDefaultKey(defaultKey);
  buildSalt(salt);
  const unsigned char* key = defaultKey;
  int32_t keyLength = kDefaultKeyLength;
  if (keyFile != nullptr) {
    unsigned char* fileKey = nullptr;
    int32_t rc = svcPbeReadInitialKeyFile(keyFile, &fileKey, &keyLength);
    if (rc != 0) {
      std::fprintf(stderr, "cannot read key file %s: %d\n", keyFile, rc);
      return 3;
    }
    key = fileKey;
  }
  std::string text;
  if (!readWhole(keystore, &text)) {
    std::fprintf(stderr, "cannot read %s\n", keystore);
    return 3;
  }
  PbeContext contexts[2] = {};
  bool ready[2] = {false, false};
  int status = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t separator = line.find(" = <ORV>");
    if (separator == std::string::npos) continue;
    std::string keyName = line.substr(0, separator);
    std::string value = line.substr(separator + 3);
    // A protected text holds no blank; a comment may follow it.
    value.erase(std::min(value.find_first_of(" \t\v\f"), value.size()));
    int algorithm = value.size() > 5 ? value[5] - '0' : 0;
    if (algorithm != 1 && algorithm != 2) {
      std::printf("%s!malformed\n", keyName.c_str());
      status = 1;
      continue;
    }
    PbeContext& context = contexts[algorithm - 1];
    if (!ready[algorithm - 1]) {
      context.algorithm = algorithm;
      context.marker = kProtectedMarker;
      context.initialKey = key;
      context.initialKeyLength = keyLength;
      context.salt = salt;
      context.saltLength = kSaltLength;
      if (svcPbeInit(&context) != 0) return 4;
      ready[algorithm - 1] = true;
    }
    char* plain = nullptr;
    int32_t plainLength = 0;
    int32_t rc = svcPbeRestore(&context, value.data(), static_cast<int32_t>(value.size()), &plain,
                               &plainLength);
    if (rc != 0) {
      std::printf("%s!%d\n", keyName.c_str(), rc);
      status = 1;
      continue;
    }
    std::printf("%s=%.*s\n", keyName.c_str(), static_cast<int>(plainLength), plain);
    svcPbeFreeBuf(plain, plainLength);
  }
  for (PbeContext& context : contexts) svcPbeTerm(&context);
  svcProgramTerm(0);
  return status;
}
