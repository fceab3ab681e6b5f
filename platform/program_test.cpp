#include "platform/program.h"

#include <gtest/gtest.h>

#include <climits>

#include "platform/env.h"
#include "platform/return_code.h"
#include "testing/test_hooks.h"
#include "testing/env_var.h"

namespace {

TEST(ProgramTest, ExitCodeMappingNeverTurnsAFailureIntoSuccess) {
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

TEST(EnvTest, EnvironmentStringHonoursTheCapacity) {
  ScopedEnv value("ORV_TEST_VALUE", "abcdef");
  ScopedEnv unset("ORV_TEST_UNSET", nullptr);
  char buffer[16] = {};
  uint16_t capacity = sizeof buffer;
  EXPECT_EQ(svcGetEnvironmentString("ORV_TEST_VALUE", buffer, &capacity), 0);
  EXPECT_STREQ(buffer, "abcdef");
  EXPECT_STREQ(svcGetEnv("ORV_TEST_VALUE"), "abcdef");

  char small[4] = {'z', 'z', 'z', 'z'};
  capacity = sizeof small;
  EXPECT_EQ(svcGetEnvironmentString("ORV_TEST_VALUE", small, &capacity), kEnvTooLong);
  EXPECT_EQ(capacity, 7);
  EXPECT_EQ(small[0], 'z');  // nothing copied

  capacity = sizeof buffer;
  EXPECT_EQ(svcGetEnvironmentString("ORV_TEST_UNSET", buffer, &capacity), kEnvNotSet);
  EXPECT_EQ(svcGetEnv("ORV_TEST_UNSET"), nullptr);
}

}  // namespace
