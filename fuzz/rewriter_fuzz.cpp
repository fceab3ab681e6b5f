// Fuzz target of the credential line rewriter. The input is a keystore file
// (one that the run refuses as no text of its form is skipped); its lines go
// through rewriteCredentialLine as the run hands them over. Checked, whatever
// the rules decide for a line: every line is handled or refused as unclear;
// a line of a key outside the credential stanzas passes through byte for
// byte, in order; every protected text written reads back (or was in the
// input already); a second pass over the output changes nothing; every block
// of the services is released.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cmd/orv/command_records.h"
#include "cmd/orv/rewriter.h"
#include "fuzz/fuzz_check.h"
#include "lib/orv/config_syntax.h"
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

// Every line through the rewriter with fresh states, into memory, until a
// line is refused; the result, and the output in `written`.
int32_t rewriteAll(const std::string& text, std::string* written) {
  resetCredentialStates();
  char* buffer = nullptr;
  size_t size = 0;
  FILE* output = open_memstream(&buffer, &size);
  if (output == nullptr) std::abort();
  int32_t rc = 0;
  for (const std::string& original : splitLines(text)) {
    std::vector<char> line(original.begin(), original.end());
    line.push_back('\0');
    if ((rc = rewriteCredentialLine(output, context(), line.data())) != 0) break;
  }
  std::fclose(output);
  written->assign(buffer, size);
  std::free(buffer);
  return rc;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setConsoleQuiet(true);
  context();  // the key derivation, once
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  if (checkConfigText(text.data(), size, true).problem != TextProblem::kNone) return 0;
  clearObservations();
  int64_t blocksBefore = memoryBlocksOutstanding();
  std::string once, twice;
  int32_t rc = rewriteAll(text, &once);
  ORV_FUZZ_CHECK(rc == 0 || rc == kRewriteWordsBeforeEquals, "every line handled or refused");
  if (rc == 0) {
    ORV_FUZZ_CHECK(rewriteAll(once, &twice) == 0 && twice == once, "a second pass changes nothing");
    std::vector<std::string> written = splitLines(once);
    size_t next = 0;
    for (const std::string& line : splitLines(text)) {
      size_t start = 0;
      while (start < line.size() && isConfigWhitespace(line[start])) ++start;
      if (line.compare(start, 4, "crl.") == 0 || line.compare(start, 4, "pem.") == 0 ||
          line.compare(start, 7, "pkcs11.") == 0) {
        continue;
      }
      std::string expected = line.back() == '\n' ? line : line + "\n";
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
  }
  ORV_FUZZ_CHECK(memoryBlocksOutstanding() == blocksBefore, "every block released");
  return 0;
}
