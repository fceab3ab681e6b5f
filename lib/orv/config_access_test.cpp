#include "lib/orv/config_access.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "testing/config_helpers.h"
#include "platform/memory.h"
#include "testing/scratch_dir.h"

namespace {

void destroyEntries(List* list) {
  if (list == nullptr) return;
  list->removeAll(list, 1, freeConfigEntry);
  svcFreeMem(0, kMemoryComponent, 0, list);
}

class ConfigAccessTest : public ::testing::Test {
 protected:
  ScratchDir scratch;
};

// The variable's value whole, else keystore.conf in the .vkt folder of the
// home directory (HOME on POSIX, HOMEDRIVE and HOMEPATH on Windows); a path
// longer than 260 characters is refused, never cut into another file's name.
TEST_F(ConfigAccessTest, PathComesFromTheVariableElseTheHomeDirectory) {
#ifdef _WIN32  // each system names the home directory by its own variables
  ScopedEnv drive("HOMEDRIVE", "C:");
  const char* const homeVariable = "HOMEPATH";
  const std::string home = "\\Users\\operator", prefix = "C:", tail = "\\.vkt\\keystore.conf";
#else
  const char* const homeVariable = "HOME";
  const std::string home = "/home/operator", prefix, tail = "/.vkt/keystore.conf";
#endif
  const std::string longest(260, 'p'), tooLong(261, 'p');
  const std::string homeTooLong = home + std::string(261 - (prefix + home + tail).size(), 'h');
  const std::string homeBeyondTheBuffer = home + std::string(kConfigPathSize, 'h');
  struct Case {
    const char* variable;
    const char* home;
    int32_t rc;
    std::string expected;
  } cases[] = {
      {longest.c_str(), nullptr, kConfigOk, longest},
      {tooLong.c_str(), home.c_str(), kConfigPathTooLong, ""},
      {nullptr, home.c_str(), kConfigOk, prefix + home + tail},
      {nullptr, homeTooLong.c_str(), kConfigPathTooLong, ""},
      {nullptr, homeBeyondTheBuffer.c_str(), kConfigPathTooLong, ""},
      {nullptr, nullptr, kConfigNoPath, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    ScopedEnv variable("VKT_TEST_KEYSTORE_CONF", c.variable);
    ScopedEnv set(homeVariable, c.home);
    char dst[kConfigPathSize];
    std::memset(dst, '*', sizeof dst);
    EXPECT_EQ(findConfigFilePath(dst, "VKT_TEST_KEYSTORE_CONF", "keystore.conf"), c.rc);
    EXPECT_EQ(std::string(dst, c.rc == kConfigOk ? std::strlen(dst) : sizeof dst),
              c.rc == kConfigOk ? c.expected : std::string(kConfigPathSize, '*'));
  }
}

// --- parseConfigText ------------------------------------------------------

struct ParseResult { int32_t rc; KeyValues entries; };

ParseResult parse(const std::string& text) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  List* list = createList();
  EXPECT_NE(list, nullptr);
  if (list == nullptr) return {-1, {}};
  ParseResult result{parseConfigText(buffer.data(), list), entriesOf(list)};
  EXPECT_EQ(list->getCount(list), result.entries.size());
  destroyEntries(list);
  return result;
}

TEST_F(ConfigAccessTest, ParsesTheGrammar) {
  const std::string key255(255, 'k');
  struct Case { const char* name; std::string text; int32_t rc; KeyValues entries; };
  const Case cases[] = {
      {"further '=' belong to the value", "a = b = c\n", kConfigOk, {{"a", "b = c"}}},
      {"'#' ends the value", "orvcred.keyfile = C:\\keys\\init.key # note\n", kConfigOk,
       {{"orvcred.keyfile", "C:\\keys\\init.key"}}},
      {"'#' inside a word belongs to the value", "k = C:\\keys\\a#1.key", kConfigOk,
       {{"k", "C:\\keys\\a#1.key"}}},
      {"'#' first in the value belongs to it", "k = #x  #y", kConfigOk, {{"k", "#x"}}},
      {"a byte order mark is no part of the first key", "\xEF\xBB\xBFk = v", kConfigOk,
       {{"k", "v"}}},
      {"all six whitespace characters", "\v\f k\t=\t v \f\v\r\n", kConfigOk, {{"k", "v"}}},
      {"bytes above 0x7F are no whitespace", "k = \xA0v\xA0\n", kConfigOk, {{"k", "\xA0v\xA0"}}},
      {"carriage returns removed", "a = 1\r\nb = 2\r\n", kConfigOk, {{"a", "1"}, {"b", "2"}}},
      {"empty lines and comments skipped",
       "# head\n\n\n   # indented comment = x\na = 1\n\t\nb = 2\n# tail", kConfigOk,
       {{"a", "1"}, {"b", "2"}}},
      {"key of 255 characters", key255 + " = v\n", kConfigOk, {{key255, "v"}}},
      {"blanks before '=' are no part of the key", key255 + "      = v\n", kConfigOk,
       {{key255, "v"}}},
      {"key of 256 characters", key255 + "k = v\n", kConfigCannotParse, {}},
      {"no value", "key =\n", kConfigCannotParse, {}},
      {"line without '=': the others are still read", "a = 1\nnot a pair\nb = 2\n",
       kConfigCannotParse, {{"a", "1"}, {"b", "2"}}},
      {"empty value after good lines", "a = 1\nb = 2\nc =\n", kConfigCannotParse,
       {{"a", "1"}, {"b", "2"}}},
      {"comments only", "# one\n  # two\n", kConfigCannotParse, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ParseResult result = parse(c.text);
    EXPECT_EQ(result.rc, c.rc);
    EXPECT_EQ(result.entries, c.entries);
  }
}

}  // namespace
