// Entry of the micro-benchmarks: the services start as in a run (the thread
// block exists, so every traced call pays its trace guard), the console is
// quiet and tracing stays off unless VKT_TRACE names a file.
#include <benchmark/benchmark.h>

#include "platform/program.h"
#include "testing/test_hooks.h"

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  setConsoleQuiet(true);
  svcProgramInit(argc, argv, 0);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  svcProgramTerm(0);
  return 0;
}
