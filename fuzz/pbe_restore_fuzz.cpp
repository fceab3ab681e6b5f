// Fuzz target of the PBE service's reading half, svcPbeRestore. Genuine
// protected texts are made once, with a fixed nonce (so the seed corpus can
// hold them); no other text may ever read back:
//  - the input itself, under contexts of both algorithms and of another key;
//  - a genuine text changed as the input says (byte positions and masks).
// A result of 0 is allowed only for a genuine text of that very context, and
// must give its plaintext; every failure is one of the reading half's codes.
// With ORV_FUZZ_WRITE_SEEDS set to a folder, the genuine texts are written
// there as seeds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cmd/orv/command_records.h"
#include "fuzz/fuzz_check.h"
#include "platform/memory.h"
#include "platform/pbe.h"
#include "testing/test_hooks.h"

namespace {

const unsigned char kKey[] = "pbe restore fuzz initial key";
const unsigned char kOtherKey[] = "another initial key";
const unsigned char kNonce[kPbeNonceBytes] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
const char* const kPlaintexts[] = {"", "s", "fuzz credential", "p@ss w0rd!#=<ORV>2!x!y!z",
                                   "0123456789abcdef0123456789abcdef0123456789abcdef01234567"};

struct Genuine {
  int context;  // index into State::contexts
  std::string text;
  std::string plaintext;
};

struct State {
  unsigned char salt[kSaltLength];
  PbeContext contexts[3];  // algorithm 1, algorithm 2, algorithm 2 under another key
  std::vector<Genuine> genuine;
};

void initContext(PbeContext* context, State* state, int32_t algorithm, const unsigned char* key,
                 size_t keyLength) {
  *context = PbeContext{};
  context->algorithm = algorithm;
  context->marker = kProtectedMarker;
  context->initialKey = key;
  context->initialKeyLength = static_cast<int32_t>(keyLength);
  context->salt = state->salt;
  context->saltLength = kSaltLength;
  if (svcPbeInit(context) != 0) std::abort();
}

State& state() {
  static State* instance = [] {
    auto* s = new State{};
    buildSalt(s->salt);
    initContext(&s->contexts[0], s, 1, kKey, sizeof kKey - 1);
    initContext(&s->contexts[1], s, 2, kKey, sizeof kKey - 1);
    initContext(&s->contexts[2], s, 2, kOtherKey, sizeof kOtherKey - 1);
    pbeSetNonceForTesting(kNonce);
    for (int context = 0; context < 3; ++context) {
      for (const char* plaintext : kPlaintexts) {
        char* text = nullptr;
        int32_t length = 0;
        if (svcPbeSave(&s->contexts[context], plaintext, static_cast<int32_t>(std::strlen(plaintext)),
                       &text, &length) != 0) {
          std::abort();
        }
        s->genuine.push_back(Genuine{context, std::string(text, static_cast<size_t>(length)),
                                     plaintext});
        svcPbeFreeBuf(text, length);
      }
    }
    pbeSetNonceForTesting(nullptr);
    return s;
  }();
  return *instance;
}

void writeSeeds(const char* folder) {
  int index = 0;
  for (const Genuine& genuine : state().genuine) {
    std::string path = std::string(folder) + "/genuine-" + std::to_string(index++);
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) continue;
    std::fwrite(genuine.text.data(), 1, genuine.text.size(), file);
    std::fclose(file);
  }
}

bool isReadingCode(int32_t rc) {
  return rc == kPbeMalformed || rc == kPbeWrongMarker || rc == kPbeWrongAlgorithm ||
         rc == kPbeNotAuthentic;
}

// Restores `text` under every context; only a genuine text of a context may
// read back there, and then to its plaintext.
void checkRestore(const std::string& text) {
  for (int context = 0; context < 3; ++context) {
    char* plain = reinterpret_cast<char*>(0x1);
    int32_t plainLength = -1;
    int32_t rc = svcPbeRestore(&state().contexts[context], text.data(),
                               static_cast<int32_t>(text.size()), &plain, &plainLength);
    const Genuine* match = nullptr;
    for (const Genuine& genuine : state().genuine) {
      if (genuine.context == context && genuine.text == text) match = &genuine;
    }
    if (rc != 0) {
      ORV_FUZZ_CHECK(match == nullptr, "a genuine text reads back");
      ORV_FUZZ_CHECK(isReadingCode(rc), "failures are the reading half's codes");
      ORV_FUZZ_CHECK(plain == nullptr && plainLength == 0, "no plaintext on failure");
      continue;
    }
    ORV_FUZZ_CHECK(match != nullptr, "only a genuine text reads back");
    ORV_FUZZ_CHECK(std::string(plain, static_cast<size_t>(plainLength)) == match->plaintext,
                   "its plaintext");
    ORV_FUZZ_CHECK(plain[plainLength] == '\0', "terminated");
    svcPbeFreeBuf(plain, plainLength);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setConsoleQuiet(true);
  state();
  if (const char* folder = std::getenv("ORV_FUZZ_WRITE_SEEDS")) writeSeeds(folder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  clearObservations();
  int64_t blocksBefore = memoryBlocksOutstanding();
  checkRestore(std::string(reinterpret_cast<const char*>(data), size));

  // The input as a recipe: which genuine text, then (position, mask) pairs.
  if (size >= 3) {
    const std::vector<Genuine>& genuine = state().genuine;
    std::string text = genuine[data[0] % genuine.size()].text;
    for (size_t i = 1; i + 1 < size; i += 2) {
      text[data[i] % text.size()] = static_cast<char>(text[data[i] % text.size()] ^ data[i + 1]);
    }
    checkRestore(text);
  }
  ORV_FUZZ_CHECK(memoryBlocksOutstanding() == blocksBefore, "every block released");
  return 0;
}
