// Fuzz target of the credential line rewriter. The input is a keystore file;
// its lines go through rewriteCredentialLine as the run hands them over (the
// run refuses a file with a NUL byte, so such inputs are skipped). Checked:
//  - each line's output follows a model of the credential table: passed
//    through byte for byte, dropped (a flag line that says "not protected"),
//    or replaced by its flag line and the credential with its value protected;
//  - every line whose key is neither a credential key nor a flag key passes
//    through unchanged;
//  - every protected value reads back to the plaintext value of its line;
//  - a second pass over the output, with fresh states, changes nothing;
//  - every block of the services is released.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cmd/orv/command_records.h"
#include "cmd/orv/rewriter.h"
#include "fuzz/fuzz_check.h"
#include "platform/memory.h"
#include "platform/pbe.h"
#include "testing/test_hooks.h"

namespace {

struct ModelRow {
  const char* credentialKey;
  const char* flagKey;
};
const ModelRow kRows[] = {{"crl.ldap.pass", "crl.encrypted"},
                          {"pem.password", "pem.encrypted"},
                          {"pkcs11.token_pin", "pkcs11.encrypted"}};
constexpr int kRowCount = 3;
const char kChannelPrefix[] = "pem.password.channel";

bool isWhitespace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Key: the first word, ended by whitespace or '='. Value: the first word
// after the first '=' behind the key.
void tokenise(const std::string& line, std::string* key, std::string* value) {
  size_t at = 0;
  while (at < line.size() && isWhitespace(line[at])) ++at;
  size_t keyStart = at;
  while (at < line.size() && !isWhitespace(line[at]) && line[at] != '=') ++at;
  *key = line.substr(keyStart, at - keyStart);
  value->clear();
  size_t equals = line.find('=', at);
  if (equals == std::string::npos) return;
  at = equals + 1;
  while (at < line.size() && isWhitespace(line[at])) ++at;
  size_t valueStart = at;
  while (at < line.size() && !isWhitespace(line[at])) ++at;
  *value = line.substr(valueStart, at - valueStart);
}

bool isYes(const std::string& value) {
  if (value.size() != 3) return false;
  for (size_t i = 0; i < 3; ++i) {
    if ((value[i] & ~0x20) != "YES"[i]) return false;
  }
  return true;
}

bool looksProtected(const std::string& value) {
  size_t separators = 0;
  for (char c : value) separators += c == '!' ? 1 : 0;
  return startsWith(value, kProtectedMarker) && separators >= 3;
}

struct Pbe {
  unsigned char key[kDefaultKeyLength];
  unsigned char salt[kSaltLength];
  PbeContext context;
};

Pbe& pbe() {
  static Pbe* instance = [] {
    auto* p = new Pbe{};
    buildDefaultKey(p->key);
    buildSalt(p->salt);
    p->context.algorithm = 2;
    p->context.marker = kProtectedMarker;
    p->context.initialKey = p->key;
    p->context.initialKeyLength = kDefaultKeyLength;
    p->context.salt = p->salt;
    p->context.saltLength = kSaltLength;
    if (svcPbeInit(&p->context) != 0) std::abort();
    return p;
  }();
  return *instance;
}

std::string restore(const std::string& text) {
  char* plain = nullptr;
  int32_t plainLength = 0;
  int32_t rc = svcPbeRestore(&pbe().context, text.data(), static_cast<int32_t>(text.size()),
                             &plain, &plainLength);
  ORV_FUZZ_CHECK(rc == 0, "a protected value reads back");
  std::string result(plain, static_cast<size_t>(plainLength));
  svcPbeFreeBuf(plain, plainLength);
  return result;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end + 1 - start));
    start = end + 1;
  }
  return lines;
}

// An in-memory output stream that reports what each call wrote.
class Output {
 public:
  Output() : stream_(open_memstream(&buffer_, &size_)) {
    if (stream_ == nullptr) std::abort();
  }
  ~Output() {
    std::fclose(stream_);
    std::free(buffer_);
  }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  FILE* stream() const { return stream_; }
  // What was written since the last call.
  std::string taken() {
    std::fflush(stream_);
    std::string chunk(buffer_ + taken_, size_ - taken_);
    taken_ = size_;
    return chunk;
  }
  std::string all() {
    std::fflush(stream_);
    return std::string(buffer_, size_);
  }

 private:
  char* buffer_ = nullptr;
  size_t size_ = 0;
  size_t taken_ = 0;
  FILE* stream_;
};

// Runs every line through the rewriter with fresh states; the whole output.
std::string rewriteAll(const std::vector<std::string>& lines, bool check) {
  resetCredentialStates();
  int modelState[kRowCount] = {-1, -1, -1};
  Output output;
  for (const std::string& original : lines) {
    std::unique_ptr<char[]> line(new char[original.size() + 1]);
    std::memcpy(line.get(), original.c_str(), original.size() + 1);
    int32_t rc = rewriteCredentialLine(output.stream(), &pbe().context, line.get());
    ORV_FUZZ_CHECK(rc == 0, "every line is handled");
    std::string chunk = output.taken();
    if (!check) continue;

    std::string text = original;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    std::string passed = text + "\n";
    std::string key;
    std::string value;
    tokenise(text, &key, &value);

    bool known = key == "pem.password.channel.encrypted";
    for (const ModelRow& row : kRows) {
      known = known || startsWith(key, row.credentialKey) || startsWith(key, row.flagKey);
    }
    if (!known || value.empty()) {
      ORV_FUZZ_CHECK(chunk == passed, "lines of other keys pass through unchanged");
      continue;
    }
    if (key == "pem.password.channel.encrypted") {
      ORV_FUZZ_CHECK(chunk == (isYes(value) ? passed : ""), "the channel flag line");
      continue;
    }
    bool dropped = false;
    for (int row = 0; row < kRowCount; ++row) {
      if (!startsWith(key, kRows[row].flagKey)) continue;
      modelState[row] = isYes(value) ? 1 : 0;
      dropped = dropped || !isYes(value);
    }
    int protectedRow = -1;
    for (int row = 0; row < kRowCount; ++row) {
      if (!startsWith(key, kRows[row].credentialKey)) continue;
      if (!looksProtected(value) && modelState[row] != 1) protectedRow = row;
    }
    if (protectedRow < 0) {
      ORV_FUZZ_CHECK(chunk == (dropped ? "" : passed), "a flag line, or a credential left as is");
      continue;
    }
    std::string flagLine = std::string(startsWith(key, kChannelPrefix)
                                           ? "pem.password.channel.encrypted"
                                           : kRows[protectedRow].flagKey) +
                           " = YES\n";
    std::string head = flagLine + key + " = ";
    ORV_FUZZ_CHECK(chunk.compare(0, head.size(), head) == 0, "the flag line and the key");
    ORV_FUZZ_CHECK(chunk.back() == '\n', "the protected line ends");
    std::string protectedText = chunk.substr(head.size(), chunk.size() - head.size() - 1);
    ORV_FUZZ_CHECK(protectedText.find('\n') == std::string::npos, "one protected line");
    ORV_FUZZ_CHECK(looksProtected(protectedText), "the value is marked");
    ORV_FUZZ_CHECK(restore(protectedText) == value, "the value reads back");
  }
  return output.all();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setConsoleQuiet(true);
  pbe();  // the key derivation, once
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (std::memchr(data, '\0', size) != nullptr) return 0;
  clearObservations();
  int64_t blocksBefore = memoryBlocksOutstanding();
  std::string input(reinterpret_cast<const char*>(data), size);

  std::string once = rewriteAll(splitLines(input), true);
  std::string twice = rewriteAll(splitLines(once), false);
  ORV_FUZZ_CHECK(twice == once, "a second pass changes nothing");
  ORV_FUZZ_CHECK(memoryBlocksOutstanding() == blocksBefore, "every block released");
  return 0;
}
