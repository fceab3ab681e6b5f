// The keystore's classifier and the credential line rewriter, per line:
// lines that pass through, lines whose credential is protected, and the
// file's mix of both. The output goes to the null device, so the cost is the
// rewriter's and the stream's, not the disk's.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "cmd/shell/rewriter.h"
#include "lib/orv/keystore_line.h"

namespace {

// Classifies every line in turn and hands it to the rewriter, from the
// start of the text again at its end.
void rewriteEach(benchmark::State& state, const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line;
  WalkedPath nullDevice;
  osWalkPath(kNullDevice, nullptr, &nullDevice, nullptr, 0);
  Replacement output;
  output.beginStream(nullDevice);
  Protection& protection = *initialisedProtection();
  KeystoreLines classified(text.data(), text.size());
  int64_t bytes = 0;
  for (auto _ : state) {
    KeystoreLine line;
    if (!classified.next(&line)) {
      classified = KeystoreLines(text.data(), text.size());
      classified.next(&line);
    }
    if (rewriteCredentialLine(output, protection, line) != 0) {
      state.SkipWithError("rewriteCredentialLine failed");
      break;
    }
    bytes += static_cast<int64_t>(line.length + 1);
  }
  output.commit();
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
