// Whole protection runs in process on small keystores, with the key
// derivation cut to one round: everything that a run costs except the start
// of the process and the key derivation, without their noise.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "cmd/orv/orvseal.h"
#include "platform/files.h"
#include "platform/pbe.h"

namespace {

namespace fs = std::filesystem;

// Writes the file and syncs it, so that the timed run does not pay for
// flushing the set-up's writes when it syncs its own.
void writeText(const fs::path& path, const std::string& text) {
  FILE* file = osOpenFile(path.string().c_str(), "wN");
  if (file == nullptr) return;
  osWriteFile(text.data(), 1, text.size(), file);
  osSyncFile(file);
  osCloseFile(file);
}

// orvseal -f <keystore of N lines> -sf <key file>, in side-file mode (the
// default: a side file synced to disk, renamed onto the keystore, the folder
// synced), or in direct mode with -o <output> (the output synced). The
// keystore and the output are laid anew before every run, untimed, so that
// every run protects the same credentials into a new file.
void BM_RunKeystore(benchmark::State& state) {
  bool sideFileMode = state.range(1) != 0;
  std::error_code error;
  fs::path folder = fs::temp_directory_path(error) /
                    ("orv-bench-" + std::to_string(std::random_device{}()));
  fs::create_directories(folder, error);
  if (error) {
    state.SkipWithError("cannot create a scratch folder");
    return;
  }
  fs::path keystore = folder / "keystore.conf";
  fs::path output = folder / "out.conf";
  fs::path keyFile = folder / "initial.key";
  const std::string text = sampleKeystoreText(static_cast<int>(state.range(0)));
  writeText(keyFile, "bench-initial-key-0123456789abcdef\n");
  // A key file that others can read is refused.
  fs::permissions(keyFile, fs::perms::owner_read | fs::perms::owner_write,
                  fs::perm_options::replace, error);

  std::vector<std::string> arguments = {"orvseal", "-f", keystore.string(), "-sf",
                                        keyFile.string()};
  if (!sideFileMode) {
    arguments.push_back("-o");
    arguments.push_back(output.string());
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  pbeSetIterationsForTesting(1);
  for (auto _ : state) {
    state.PauseTiming();
    writeText(keystore, text);
    fs::remove(output, error);
    state.ResumeTiming();
    if (orvsealMain(static_cast<int32_t>(arguments.size()), argv.data()) != 0) {
      state.SkipWithError("the run failed");
      break;
    }
  }
  pbeSetIterationsForTesting(0);
  fs::remove_all(folder, error);
}
BENCHMARK(BM_RunKeystore)
    ->ArgNames({"lines", "side"})
    ->Args({1, 0})
    ->Args({50, 0})
    ->Args({50, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
