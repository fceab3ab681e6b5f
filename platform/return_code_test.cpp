#include "platform/return_code.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(ReturnCodeTest, ExitCodeMappingNeverTurnsAFailureIntoSuccess) {
  struct Case { int32_t result; int32_t exitCode; };
  const Case cases[] = {{0, 0},       {1, 1},       {10, 10},        {255, 255},
                        {256, 255},   {-1, 255},    {2071, 255},     {0x20008066, 255},
                        {INT_MIN, 255}, {INT_MAX, 255}, {65536, 255}};
  for (const Case& c : cases) {
    int32_t value = c.result;
    rcMapTo8Bit(&value);
    EXPECT_EQ(value, c.exitCode) << c.result;
  }
}

}  // namespace
