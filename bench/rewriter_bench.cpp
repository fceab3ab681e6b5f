// The credential line rewriter, per line: lines that pass through, lines
// whose credential is protected, and the file's mix of both. The output is a
// buffered stream to the null device, so the cost is the rewriter's and the
// stream's, not the disk's.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "cmd/orv/rewriter.h"

namespace {

// Hands every line in turn to the rewriter, copied first into a line buffer
// as the run's reader does (the rewriter removes the newline in place).
void rewriteEach(benchmark::State& state, const std::vector<std::string>& lines) {
  FILE* output = openNullOutput();
  PbeContext* context = initialisedContext();
  resetCredentialStates();
  char buffer[512];
  size_t next = 0;
  int64_t bytes = 0;
  for (auto _ : state) {
    const std::string& line = lines[next];
    next = next + 1 == lines.size() ? 0 : next + 1;
    std::memcpy(buffer, line.c_str(), line.size() + 1);
    if (rewriteCredentialLine(output, context, buffer) != 0) {
      state.SkipWithError("rewriteCredentialLine failed");
      break;
    }
    bytes += static_cast<int64_t>(line.size());
  }
  std::fclose(output);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(bytes);
}

void BM_RewritePassThrough(benchmark::State& state) { rewriteEach(state, passThroughLines()); }
BENCHMARK(BM_RewritePassThrough);

// Every line a plaintext credential: svcPbeSave, the flag line and the
// protected line.
void BM_RewriteCredential(benchmark::State& state) { rewriteEach(state, credentialLines()); }
BENCHMARK(BM_RewriteCredential);

// Ten lines in the file's mix: nine passed through, one protected.
void BM_RewriteMix(benchmark::State& state) {
  static const std::vector<std::string> mix = [] {
    std::vector<std::string> lines;
    std::string text = sampleKeystoreText(40);
    for (size_t start = 0; start < text.size();) {
      size_t end = text.find('\n', start) + 1;
      lines.push_back(text.substr(start, end - start));
      start = end;
    }
    return lines;
  }();
  rewriteEach(state, mix);
}
BENCHMARK(BM_RewriteMix);

}  // namespace
