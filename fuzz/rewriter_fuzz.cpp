// Fuzz target of the credential line rewriter. The input is a keystore file;
// its lines go through rewriteCredentialLine as the run hands them over (the
// run refuses a file that is no text of its form, so such inputs are
// skipped). Checked, whatever the rules decide for a line:
//  - every line is handled, or refused as unclear and then nothing of it is
//    written;
//  - a line whose key belongs to no credential or flag passes through byte
//    for byte, in order;
//  - every protected text written reads back;
//  - a second pass over the output, with fresh states, changes nothing;
//  - every block of the services is released.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

bool restores(const std::string& text) {
  char* plain = nullptr;
  int32_t plainLength = 0;
  int32_t rc = svcPbeRestore(&pbe().context, text.data(), static_cast<int32_t>(text.size()),
                             &plain, &plainLength);
  svcPbeFreeBuf(plain, plainLength);
  return rc == 0;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

// A line whose first word begins none of the table's stanzas.
bool outsideTheTable(const std::string& line) {
  size_t start = 0;
  while (start < line.size() && isConfigWhitespace(line[start])) ++start;
  for (const char* stanza : {"crl.", "pem.", "pkcs11."}) {
    if (line.compare(start, std::strlen(stanza), stanza) == 0) return false;
  }
  return true;
}

// Runs every line through the rewriter with fresh states, into memory, until
// a line is refused; the result and the whole output.
int32_t rewriteAll(const std::vector<std::string>& lines, std::string* written) {
  resetCredentialStates();
  char* buffer = nullptr;
  size_t size = 0;
  FILE* output = open_memstream(&buffer, &size);
  if (output == nullptr) std::abort();
  int32_t rc = 0;
  for (const std::string& original : lines) {
    std::vector<char> line(original.begin(), original.end());
    line.push_back('\0');
    rc = rewriteCredentialLine(output, &pbe().context, line.data());
    if (rc != 0) break;
  }
  std::fclose(output);
  written->assign(buffer, size);
  std::free(buffer);
  return rc;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setConsoleQuiet(true);
  pbe();  // the key derivation, once
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  if (checkConfigText(text, size, true).problem != TextProblem::kNone) return 0;
  clearObservations();
  int64_t blocksBefore = memoryBlocksOutstanding();
  std::vector<std::string> lines = splitLines(std::string(text, size));

  std::string once;
  int32_t rc = rewriteAll(lines, &once);
  ORV_FUZZ_CHECK(rc == 0 || rc == kRewriteWordsBeforeEquals, "every line handled or refused");
  if (rc == 0) {
    std::string twice;
    ORV_FUZZ_CHECK(rewriteAll(splitLines(once), &twice) == 0, "the output is handled");
    ORV_FUZZ_CHECK(twice == once, "a second pass changes nothing");

    size_t next = 0;
    std::vector<std::string> written = splitLines(once);
    for (const std::string& line : lines) {
      if (!outsideTheTable(line)) continue;
      std::string expected = line.back() == '\n' ? line : line + "\n";
      while (next < written.size() && written[next] != expected) ++next;
      ORV_FUZZ_CHECK(next < written.size(), "lines of other keys pass through unchanged");
      ++next;
    }
    for (const std::string& line : written) {
      size_t marker = line.find(std::string(" = ") + kProtectedMarker);
      if (marker == std::string::npos) continue;
      std::string protectedText = line.substr(marker + 3);
      protectedText = protectedText.substr(0, protectedText.find_first_of(" \t\n\v\f\r"));
      ORV_FUZZ_CHECK(restores(protectedText) || std::string(text, size).find(protectedText) !=
                                                   std::string::npos,
                     "every protected text written reads back");
    }
  }
  ORV_FUZZ_CHECK(memoryBlocksOutstanding() == blocksBefore, "every block released");
  return 0;
}
