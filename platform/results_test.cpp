#include "platform/results.h"

#include <gtest/gtest.h>

#include <climits>
#include <set>
#include <string>

namespace {

TEST(ResultsTest, ExitCodeMappingNeverTurnsAFailureIntoSuccess) {
  struct Case { int32_t result; int32_t exitCode; };
  const Case cases[] = {{0, 0},       {1, 1},       {10, 10},        {255, 255},
                        {256, 255},   {-1, 255},    {2071, 255},     {0x20008066, 255},
                        {INT_MIN, 255}, {INT_MAX, 255}, {65536, 255},
                        {kConfigParamNotUnique, 15}, {kCheckFindings, 1}, {kCheckFailed, 2}};
  for (const Case& c : cases) EXPECT_EQ(resultExitCode(c.result), c.exitCode) << c.result;
}

struct Row {
  const char* name;
  int32_t code;
  int32_t exit;
  const char* meaning;
};

constexpr Row kRows[] = {
#define ORV_TEST_ROW(name, code, exit, message, library, meaning) {#name, code, exit, meaning},
    ORV_ALL_RESULTS(ORV_TEST_ROW)
#undef ORV_TEST_ROW
};

// Names and codes are unique; only success exits with 0; every code of
// 0..255 exits as itself, and a row that takes another row's status keeps
// out of 0..255.
TEST(ResultsTest, EachResultIsOneNameOneCodeAndAnExitStatus) {
  std::set<std::string> names;
  std::set<int32_t> codes;
  for (const Row& row : kRows) {
    EXPECT_TRUE(names.insert(row.name).second) << row.name;
    EXPECT_TRUE(codes.insert(row.code).second) << row.name;
    EXPECT_GE(row.exit, 0) << row.name;
    EXPECT_LE(row.exit, 255) << row.name;
    EXPECT_EQ(row.exit == 0, row.code == kRunOk) << row.name;
    if (row.code >= 0 && row.code <= 255) {
      EXPECT_EQ(row.exit, row.code) << row.name;
    }
    EXPECT_EQ(resultExitCode(row.code), row.exit) << row.name;
    EXPECT_STREQ(resultMeaning(row.code), row.meaning) << row.name;
    EXPECT_FALSE(std::string(row.meaning).empty()) << row.name;
  }
  EXPECT_EQ(resultMeaning(12345), nullptr);
  EXPECT_EQ(resultMessage(kConfigParamNotUnique), kMsgDuplicateParam);
  EXPECT_EQ(resultMessage(kRunOk), 0u);
}

}  // namespace
