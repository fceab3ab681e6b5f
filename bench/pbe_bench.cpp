// The PBE service: the key derivation, once per run and deliberately slow,
// and the protection of one credential.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/bench_support.h"
#include "lib/orvcred/initial_key.h"
#include "platform/pbe.h"

namespace {

// svcPbeInit: PBKDF2-HMAC-SHA256 over kPbeIterations rounds. Its cost is a
// security setting, so it is reported apart from everything else.
void BM_PbeInit(benchmark::State& state) {
  static const unsigned char kInitialKey[] = "bench-initial-key-0123456789abcdef";
  unsigned char salt[kSaltLength];
  buildSalt(salt);
  PbeContext context = {};
  context.algorithm = static_cast<int32_t>(state.range(0));
  context.marker = kProtectedMarker;
  context.initialKey = kInitialKey;
  context.initialKeyLength = static_cast<int32_t>(sizeof kInitialKey - 1);
  context.saltLength = kSaltLength;
  context.salt = salt;
  for (auto _ : state) {
    if (svcPbeInit(&context) != 0) state.SkipWithError("svcPbeInit failed");
    benchmark::DoNotOptimize(context.serviceWords);
    svcPbeTerm(&context);
  }
}
BENCHMARK(BM_PbeInit)->Arg(2)->Unit(benchmark::kMillisecond)->MinTime(0.5)->UseRealTime();

// svcPbeSave of one plaintext of the given length, with the svcPbeFreeBuf
// that the rewriter calls after every protected value.
void BM_PbeSave(benchmark::State& state) {
  Protection& protection = *initialisedProtection();
  std::string plaintext(static_cast<size_t>(state.range(0)), 's');
  for (auto _ : state) {
    char* text = nullptr;
    int32_t length = 0;
    if (protection.protect(plaintext.data(), plaintext.size(), &text, &length) != 0) {
      state.SkipWithError("svcPbeSave failed");
      break;
    }
    benchmark::DoNotOptimize(text);
    svcPbeFreeBuf(text, length);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PbeSave)->Arg(18)->Arg(256);

}  // namespace
