#ifndef ORV_BENCH_BENCH_SUPPORT_H_
#define ORV_BENCH_BENCH_SUPPORT_H_

#include <cstdio>
#include <string>
#include <vector>

#include "cmd/shell/rewriter.h"
#include "platform/pbe.h"

// What the micro-benchmarks share. The keystore lines are of the mix that
// bench/run_bench.py writes: one line in ten a plaintext credential, the
// rest comments, blank lines and other keys.

// The lines that a run passes through unchanged, each with its newline.
const std::vector<std::string>& passThroughLines();

// Plaintext credential lines, one of each credential kind, with newlines.
const std::vector<std::string>& credentialLines();

// A whole keystore text of `lines` lines in the file mix.
std::string sampleKeystoreText(int lines);

// The null device: what is written there costs no disk.
#ifdef _WIN32
constexpr const char* kNullDevice = "NUL";
#else
constexpr const char* kNullDevice = "/dev/null";
#endif

// The protection of algorithm 2 under a fixed initial key, derived once (on
// the first call).
Protection* initialisedProtection();

#endif  // ORV_BENCH_BENCH_SUPPORT_H_
