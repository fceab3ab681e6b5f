#ifndef ORV_FUZZ_FUZZ_CHECK_H_
#define ORV_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

// An invariant of a fuzz target: when it does not hold, the target names it
// and aborts, so that libFuzzer keeps the input as a crash.
#define ORV_FUZZ_CHECK(condition, what)                                                  \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "invariant broken at %s:%d: %s (%s)\n", __FILE__, __LINE__, \
                   (what), #condition);                                                  \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

#endif  // ORV_FUZZ_FUZZ_CHECK_H_
