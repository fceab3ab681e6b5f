#include "cmd/orv/options.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

// Text fields as the test compares them: absent is distinct from empty.
std::string shown(const char* text) {
  return text == nullptr ? "(none)" : "'" + std::string(text) + "'";
}

// The arguments after the program name; what parseArguments gives back.
struct ParseCase {
  const char* name;
  std::vector<const char*> arguments;
  int32_t rc, argumentIndex;
  const char *keystoreFile, *outputFile;
  int32_t algorithm;
  const char* initialKeyFile;
};

constexpr const char* kNone = nullptr;

const ParseCase kParseCases[] = {
    {"no arguments", {}, 0, 0, kNone, kNone, 2, kNone},
    {"option without value: even count", {"-f"}, 1, 0, kNone, kNone, 2, kNone},
    {"-spx is the algorithm", {"-spx", "1"}, 0, 0, kNone, kNone, 1, kNone},
    {"-Output is the output file", {"-Output", "out.conf"}, 0, 0, kNone, "out.conf", 2, kNone},
    {"all four options", {"-sf", "k", "-o", "o", "-sp", "1", "-f", "f"}, 0, 0, "f", "o", 1, "k"},
    {"value of -sf begins with '-'", {"-f", "a", "-sf", "-k"}, 1, 3, "a", kNone, 2, kNone},
    {"-sp after a space and a plus", {"-sp", " +12"}, 0, 0, kNone, kNone, 12, kNone},
    {"-sp 1a", {"-sp", "1a"}, 1, 1, kNone, kNone, 2, kNone},
    {"-sp 2^32 + 1 does not wrap to 1", {"-sp", "4294967297"}, 0, 0, kNone, kNone, INT32_MAX, kNone},
    {"-sp below the smallest is clamped", {"-sp", "-99999999999999999999"}, 0, 0, kNone, kNone, INT32_MIN, kNone},
    {"unknown option", {"-x", "y"}, 1, 1, kNone, kNone, 2, kNone},
    {"value where an option belongs", {"a.conf", "-f"}, 1, 1, kNone, kNone, 2, kNone},
    {"stray word after a pair", {"-f", "a", "b", "c"}, 1, 3, "a", kNone, 2, kNone},
    {"empty argument ends the walk", {"", "x", "-f", "a.conf"}, 0, 0, kNone, kNone, 2, kNone},
    {"same option twice: last wins", {"-f", "a.conf", "-f", "b.conf"}, 0, 0, "b.conf", kNone, 2, kNone},
};

TEST(ParseArgumentsTest, Cases) {
  for (const ParseCase& c : kParseCases) {
    SCOPED_TRACE(c.name);
    // The program name is never looked at, so it may even look like an option.
    std::vector<const char*> argv = {"-program"};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    argv.push_back(nullptr);
    CommandOptions options;
    int32_t rc = parseArguments(static_cast<int32_t>(argv.size() - 1), argv.data(), &options);
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(options.argumentIndex, c.argumentIndex);
    EXPECT_EQ(shown(options.keystoreFile), shown(c.keystoreFile));
    EXPECT_EQ(shown(options.outputFile), shown(c.outputFile));
    EXPECT_EQ(options.algorithm, c.algorithm);
    EXPECT_EQ(shown(options.initialKeyFile), shown(c.initialKeyFile));
  }
}

}  // namespace
