// The configuration parser on a large keystore text: the cost that the
// orvcred.keyfile lookup pays when no key file is named otherwise.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "lib/orv/config_access.h"
#include "lib/orv/list.h"
#include "lib/orv/param_lookup.h"

namespace {

// parseConfigText alone; the fresh copy of the text (the parse cuts it up)
// and the release of the list are not timed.
void BM_ParseConfigText(benchmark::State& state) {
  const std::string text = sampleKeystoreText(static_cast<int>(state.range(0)));
  std::vector<char> buffer(text.size() + 1);
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(buffer.data(), text.c_str(), text.size() + 1);
    List* list = createList();
    state.ResumeTiming();
    int32_t rc = parseConfigText(buffer.data(), list);
    state.PauseTiming();
    destroyConfigList(list);
    state.ResumeTiming();
    if (rc != kConfigOk) {
      state.SkipWithError("parseConfigText failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ParseConfigText)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
