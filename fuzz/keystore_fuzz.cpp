// Fuzz target of a keystore file as its one classifier gives it to each
// reader. Checked, whatever the rules decide for a line: the configuration
// reader's entries are whole, trimmed, non-empty and well linked, and the key
// file lookup agrees with them (one entry found whole, two refused, a long
// value refused, an unreadable line failing it). For a file that every reader
// takes, its lines through rewriteCredentialLine as orvseal hands them over:
// a line of a key outside the credential stanzas passes through byte for
// byte, in order; every protected text written reads back (or was in the
// input already); a second pass changes nothing. Every block is released.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>  // the fuzz targets are built on Linux alone (clang's libFuzzer)

#include "cmd/shell/rewriter.h"
#include "fuzz/fuzz_check.h"
#include "lib/orv/config_access.h"
#include "lib/orv/keystore_line.h"
#include "lib/orv/param_lookup.h"
#include "lib/orvcred/initial_key.h"
#include "platform/memory.h"
#include "platform/pbe.h"
#include "testing/test_hooks.h"

namespace {

Protection& protection() {
  static Protection* instance = [] {
    static unsigned char key[kDefaultKeyLength];
    buildDefaultKey(key);
    auto* p = new Protection;
    p->algorithm = 2;
    if (p->keys.derive(key, kDefaultKeyLength, 2) != 0) std::abort();
    return p;
  }();
  return *instance;
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

// Every line through the rewriter, into a new file of this process, as -o
// makes one (in memory, where /dev/shm is, so that its sync costs nothing);
// what was written.
std::string rewriteAll(const std::string& text) {
  static const std::string folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  static const std::string path = folder + "/orv-rewriter-fuzz-" + std::to_string(getpid());
  static WalkedPath model;
  static WalkedPath written;
  if (model.folder < 0) {
    std::ofstream(path + ".model") << "model";
    std::atexit([] { std::remove((path + ".model").c_str()); });
    if (osWalkPath((path + ".model").c_str(), nullptr, &model, nullptr, 0) != 0 ||
        osWalkPath((path + ".conf").c_str(), nullptr, &written, nullptr, 0) != 0) {
      std::abort();
    }
  }
  {
    Replacement output;
    if (output.begin(written, osOpenForReading(model), nullptr, nullptr) != 0) std::abort();
    if (rewriteKeystore(output, protection(), text.data(), text.size()) != 0) std::abort();
    if (output.commit() != 0) std::abort();
  }
  std::ifstream file(path + ".conf", std::ios::binary);
  std::stringstream read;
  read << file.rdbuf();
  std::remove((path + ".conf").c_str());
  return read.str();
}

// The configuration reader's view of the text up to its first NUL.
void checkEntries(const std::string& text) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  List* list = createList();
  ORV_FUZZ_CHECK(list != nullptr, "a list");
  int32_t parseRc = parseConfigText(buffer.data(), list);
  ORV_FUZZ_CHECK(parseRc == kConfigOk || parseRc == kConfigCannotParse, "a parse result");
  size_t keyFiles = 0, count = 0;
  std::string keyFile;
  const ListNode* previous = nullptr;
  for (const ListNode* node = list->head; node != nullptr; previous = node, node = node->next) {
    ORV_FUZZ_CHECK(node->prev == previous, "back links mirror forward links");
    const auto* entry = static_cast<const ConfigEntry*>(node->data);
    std::string key = entry->key, value = entry->value;
    ORV_FUZZ_CHECK(key.size() <= kConfigKeyMaxLength, "keys fit");
    ORV_FUZZ_CHECK(key.empty() || (!isConfigWhitespace(key.front()) &&
                                   !isConfigWhitespace(key.back())), "keys are trimmed");
    ORV_FUZZ_CHECK(!value.empty() && !isConfigWhitespace(value.front()) &&
                       !isConfigWhitespace(value.back()), "values are whole and trimmed");
    ORV_FUZZ_CHECK((key + value).find('\n') == std::string::npos, "one line each");
    if (key == "orvcred.keyfile" && keyFiles++ == 0) keyFile = value;
    ++count;
  }
  ORV_FUZZ_CHECK(list->tail == previous && list->getCount(list) == count, "tail and count");
  ORV_FUZZ_CHECK(parseRc != kConfigOk || count > 0, "success comes with entries");
  destroyConfigList(list);

  char dst[kConfigPathSize] = {};
  KeyFileLookup lookup;
  int32_t keyRc = getKeyFileParam(dst, text.data(), text.size(), nullptr, &lookup);
  if (keyFiles > 1) {
    ORV_FUZZ_CHECK(keyRc == kConfigParamNotUnique, "two key files are refused");
  } else if (keyFiles == 1 && osPathLength(keyFile.c_str()) > kConfigPathMaxLength) {
    ORV_FUZZ_CHECK(keyRc == kConfigPathTooLong, "a long key file path is refused");
  } else if (keyFiles == 1) {
    // An unreadable line elsewhere is skipped, one that may name the key
    // file again fails the lookup; nothing else.
    bool taken = keyRc == kConfigOk && std::string(dst) == keyFile &&
                 lookup.failedLineSkipped == (parseRc != kConfigOk);
    ORV_FUZZ_CHECK(taken || (parseRc != kConfigOk && keyRc == kConfigCannotParse),
                   "the key file, whole, or an unreadable line that may name it");
  } else if (parseRc != kConfigOk) {
    ORV_FUZZ_CHECK(keyRc == parseRc, "an unreadable line fails a lookup that finds no key file");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setConsoleQuiet(true);
  protection();  // the key derivation, once
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  clearObservations();
  int64_t blocksBefore = memoryBlocksOutstanding();
  checkEntries(text.substr(0, text.find('\0')));
  TextCheck check;
  KeystoreLine unclear;
  if (keystoreFault(text.data(), size, &check, &unclear) != 0) {
    ORV_FUZZ_CHECK(memoryBlocksOutstanding() == blocksBefore, "every block released");
    return 0;
  }
  std::string once = rewriteAll(text);
  ORV_FUZZ_CHECK(rewriteAll(once) == once, "a second pass changes nothing");
  // The byte order mark is the file's, not its first line's: a file of the
  // mark alone has no line to end.
  size_t mark =
      text.compare(0, kByteOrderMarkLength, kByteOrderMark) == 0 ? kByteOrderMarkLength : 0;
  ORV_FUZZ_CHECK(once.compare(0, mark, text, 0, mark) == 0, "the byte order mark stays");
  std::vector<std::string> written = splitLines(once.substr(mark));
  size_t next = 0;
  std::string ending = "\n";
  for (const std::string& line : splitLines(text.substr(mark))) {
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
    int32_t restored = protection().keys.restore(value.data(), value.size(),
                                     &plain, &length);
    svcPbeFreeBuf(plain, length);
    ORV_FUZZ_CHECK(restored == 0 || text.find(value) != std::string::npos,
                   "every protected text written reads back");
  }
  ORV_FUZZ_CHECK(memoryBlocksOutstanding() == blocksBefore, "every block released");
  return 0;
}
