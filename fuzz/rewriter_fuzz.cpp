// Fuzz target of the keystore's classifier and the credential line
// rewriter. The input is a keystore file (one that every reader refuses is
// skipped); its lines go through rewriteCredentialLine as orvseal hands them
// over. Checked, whatever the rules decide for a line: a line of a key
// outside the credential stanzas passes through byte for byte, in order;
// every protected text written reads back (or was in the input already); a
// second pass over the output changes nothing; every block of the services
// is released.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "cmd/shell/rewriter.h"
#include "fuzz/fuzz_check.h"
#include "lib/orv/keystore_line.h"
#include "lib/orvcred/initial_key.h"
#include "platform/memory.h"
#include "platform/pbe.h"
#include "testing/test_hooks.h"

namespace {

PbeContext* context() {
  static PbeContext* instance = [] {
    static unsigned char key[kDefaultKeyLength], salt[kSaltLength];
    buildDefaultKey(key);
    buildSalt(salt);
    auto* c = new PbeContext{};
    c->algorithm = 2;
    c->marker = kProtectedMarker;
    c->initialKey = key;
    c->initialKeyLength = kDefaultKeyLength;
    c->salt = salt;
    c->saltLength = kSaltLength;
    if (svcPbeInit(c) != 0) std::abort();
    return c;
  }();
  return instance;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0, end; start < text.size(); start = end) {
    end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// Every line through the rewriter, into a file of this process; what was
// written.
std::string rewriteAll(const std::string& text) {
  static const std::string path = "/tmp/orv-rewriter-fuzz-" + std::to_string(getpid()) + ".conf";
  {
    Replacement output;
    if (output.beginStream(path.c_str()) != 0) std::abort();
    KeystoreLines lines(text.data(), text.size());
    output.write(kByteOrderMark, lines.byteOrderMark());
    for (KeystoreLine line; lines.next(&line);) {
      if (rewriteCredentialLine(output, context(), line) != 0) std::abort();
    }
    if (output.commit() != 0) std::abort();
  }
  std::ifstream file(path, std::ios::binary);
  std::stringstream written;
  written << file.rdbuf();
  std::remove(path.c_str());
  return written.str();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setConsoleQuiet(true);
  context();  // the key derivation, once
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  TextCheck check;
  KeystoreLine unclear;
  if (keystoreFault(text.data(), size, &check, &unclear) != 0) return 0;
  clearObservations();
  int64_t blocksBefore = memoryBlocksOutstanding();
  std::string once = rewriteAll(text);
  ORV_FUZZ_CHECK(rewriteAll(once) == once, "a second pass changes nothing");
  std::vector<std::string> written = splitLines(once);
  size_t next = 0;
  std::string ending = "\n";
  for (const std::string& line : splitLines(text)) {
    size_t start = 0;
    while (start < line.size() && isConfigWhitespace(line[start])) ++start;
    bool ended = line.back() == '\n';
    std::string expected = ended ? line : line + ending;
    if (ended) ending = line.size() > 1 && line[line.size() - 2] == '\r' ? "\r\n" : "\n";
    if (line.compare(start, 4, "crl.") == 0 || line.compare(start, 4, "pem.") == 0 ||
        line.compare(start, 7, "pkcs11.") == 0) {
      continue;
    }
    while (next < written.size() && written[next] != expected) ++next;
    ORV_FUZZ_CHECK(next++ < written.size(), "lines of other keys pass through unchanged");
  }
  for (const std::string& line : written) {
    size_t at = line.find(std::string(" = ") + kProtectedMarker);
    if (at == std::string::npos) continue;
    std::string value = line.substr(at + 3, line.find_first_of(" \t\v\f\r\n", at + 3) - at - 3);
    char* plain = nullptr;
    int32_t length = 0;
    int32_t restored = svcPbeRestore(context(), value.data(), static_cast<int32_t>(value.size()),
                                     &plain, &length);
    svcPbeFreeBuf(plain, length);
    ORV_FUZZ_CHECK(restored == 0 || text.find(value) != std::string::npos,
                   "every protected text written reads back");
  }
  ORV_FUZZ_CHECK(memoryBlocksOutstanding() == blocksBefore, "every block released");
  return 0;
}
