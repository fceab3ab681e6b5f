#include "platform/return_code.h"

void rcMapTo8Bit(int32_t* result) {
  if (result == nullptr) return;
  if (*result < 0 || *result > 255) *result = kExitCodeOutOfRange;
}
