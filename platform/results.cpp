#include "platform/results.h"

// Each function is one switch over the table: a code that two rows share
// does not compile.

int32_t resultExitCode(int32_t code) {
  switch (code) {
#define ORV_EXIT_CASE(name, code, exit, message, library, meaning) \
  case code:                                                       \
    return exit;
    ORV_ALL_RESULTS(ORV_EXIT_CASE)
#undef ORV_EXIT_CASE
  }
  return code < 0 || code > 255 ? kExitCodeOutOfRange : code;
}

uint32_t resultMessage(int32_t code) {
  switch (code) {
#define ORV_MESSAGE_CASE(name, code, exit, message, library, meaning) \
  case code:                                                          \
    return message;
    ORV_ALL_RESULTS(ORV_MESSAGE_CASE)
#undef ORV_MESSAGE_CASE
  }
  return 0;
}

const char* resultMeaning(int32_t code) {
  switch (code) {
#define ORV_MEANING_CASE(name, code, exit, message, library, meaning) \
  case code:                                                          \
    return meaning;
    ORV_ALL_RESULTS(ORV_MEANING_CASE)
#undef ORV_MEANING_CASE
  }
  return nullptr;
}
