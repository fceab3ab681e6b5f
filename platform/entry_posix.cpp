#include "platform/entry.h"

// Arguments are bytes, names as they are: nothing to convert or refuse.
int32_t osRunWithUtf8Arguments(int argc, OsArgument* argv, const char*, ProgramMain run,
                               int32_t) {
  return run(argc, argv);
}
