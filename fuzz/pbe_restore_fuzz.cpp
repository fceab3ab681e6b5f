// Fuzz target of the PBE service's reading half, svcPbeRestore. Genuine
// protected texts are made once, with a fixed nonce (so the seed corpus holds
// them). Read back are the input itself and a genuine text changed as the
// input says (which text, then byte positions and masks), under contexts of
// both algorithms and of another key. Only a genuine text of that very
// context may read back, to its plaintext; every failure is one of the
// reading half's codes and leaves no plaintext.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/orvcred/initial_key.h"
#include "fuzz/fuzz_check.h"
#include "platform/memory.h"
#include "platform/pbe.h"
#include "testing/test_hooks.h"

namespace {

const unsigned char kNonce[kPbeNonceBytes] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
const char* const kPlaintexts[] = {"", "s", "fuzz credential", "p@ss w0rd!#=<ORV>2!x!y!z",
                                   "0123456789abcdef0123456789abcdef0123456789abcdef01234567"};

struct Genuine { const PbeContext* context; std::string text; std::string plaintext; };

struct State {
  unsigned char salt[kSaltLength];
  PbeContext contexts[3];  // algorithm 1, algorithm 2, algorithm 2 under another key
  std::vector<Genuine> genuine;
};

State& state() {
  static State* instance = [] {
    static const char* const keys[] = {"pbe restore fuzz initial key",
                                       "pbe restore fuzz initial key", "another initial key"};
    auto* s = new State{};
    buildSalt(s->salt);
    pbeSetNonceForTesting(kNonce);
    for (int i = 0; i < 3; ++i) {
      PbeContext& context = s->contexts[i];
      context.algorithm = i == 0 ? 1 : 2;
      context.marker = kProtectedMarker;
      context.initialKey = reinterpret_cast<const unsigned char*>(keys[i]);
      context.initialKeyLength = static_cast<int32_t>(std::strlen(keys[i]));
      context.salt = s->salt;
      context.saltLength = kSaltLength;
      if (svcPbeInit(&context) != 0) std::abort();
      for (const char* plaintext : kPlaintexts) {
        char* text = nullptr;
        int32_t length = 0;
        if (svcPbeSave(&context, plaintext, static_cast<int32_t>(std::strlen(plaintext)), &text,
                       &length) != 0) {
          std::abort();
        }
        s->genuine.push_back({&context, std::string(text, static_cast<size_t>(length)), plaintext});
        svcPbeFreeBuf(text, length);
      }
    }
    pbeSetNonceForTesting(nullptr);
    return s;
  }();
  return *instance;
}

void checkRestore(const std::string& text) {
  for (PbeContext& context : state().contexts) {
    char* plain = reinterpret_cast<char*>(0x1);
    int32_t plainLength = -1;
    int32_t rc = svcPbeRestore(&context, text.data(), static_cast<int32_t>(text.size()), &plain,
                               &plainLength);
    const Genuine* match = nullptr;
    for (const Genuine& genuine : state().genuine) {
      if (genuine.context == &context && genuine.text == text) match = &genuine;
    }
    if (rc != 0) {
      ORV_FUZZ_CHECK(match == nullptr, "a genuine text reads back");
      ORV_FUZZ_CHECK(rc == kPbeMalformed || rc == kPbeWrongMarker || rc == kPbeWrongAlgorithm ||
                         rc == kPbeNotAuthentic, "failures are the reading half's codes");
      ORV_FUZZ_CHECK(plain == nullptr && plainLength == 0, "no plaintext on failure");
      continue;
    }
    ORV_FUZZ_CHECK(match != nullptr && std::string(plain, static_cast<size_t>(plainLength)) ==
                                           match->plaintext, "only a genuine text reads back");
    svcPbeFreeBuf(plain, plainLength);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setConsoleQuiet(true);
  state();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  clearObservations();
  int64_t blocksBefore = memoryBlocksOutstanding();
  checkRestore(std::string(reinterpret_cast<const char*>(data), size));
  if (size >= 3) {
    std::string text = state().genuine[data[0] % state().genuine.size()].text;
    for (size_t i = 1; i + 1 < size; i += 2) text[data[i] % text.size()] ^= data[i + 1];
    checkRestore(text);
  }
  ORV_FUZZ_CHECK(memoryBlocksOutstanding() == blocksBefore, "every block released");
  return 0;
}
