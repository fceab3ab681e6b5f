#include "lib/orv/param_lookup.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "testing/config_helpers.h"

namespace {

// A list of the entries of text, in file order.
List* parsedList(const std::string& text) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  List* list = createList();
  EXPECT_NE(list, nullptr);
  if (list != nullptr) {
    EXPECT_EQ(parseConfigText(buffer.data(), list), kConfigOk) << text;
  }
  return list;
}

TEST(ParamLookupTest, FilterKeepsTheStanzaAndTakesItsNameOffTheKeys) {
  const std::string prefix40(40, 'o');
  struct Case { const char* name; std::string text; std::string stanza; KeyValues expected; };
  const Case cases[] = {
      {"orvcred",
       "orvcred.keyfile = a\nother.x = b\norvcred.a.b = c\norvcred. = d\norvcred = e\n"
       "ORVCRED.keyfile = f\norvcredx.y = g\n.z = h\n" + prefix40 + ".keyfile = i\n",
       "orvcred",
       {{"keyfile", "a"}, {"a.b", "c"}, {"", "d"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    List* list = parsedList(c.text);
    ASSERT_NE(list, nullptr);
    filterStanza(list, c.stanza.c_str());
    EXPECT_EQ(entriesOf(list), c.expected);
    EXPECT_EQ(list->getCount(list), c.expected.size());
    destroyConfigList(list);
  }
}

TEST(ParamLookupTest, GetKeyFileParamResultsDestinationAndName) {
  const std::string value300(300, 'v');
  struct Case {
    const char* name;
    std::string text;
    int32_t rc;
    std::string dst, nameOut;
    bool named;
    int64_t failedLine;
  };
  const Case cases[] = {
      {"present among other stanzas",
       "pem.password = s\norvcred.keyfile = C:\\keys\\init.key\ncrl.ldap.pass = t\n", kConfigOk,
       "C:\\keys\\init.key", "orvcred", true, 0},
      {"no orvcred line", "pem.password = s\n", kConfigNoStanza, "", "orvcred", false, 0},
      {"orvcred without keyfile", "orvcred.other = 1\n", kConfigOk, "", "orvcred", false, 0},
      {"a line without '=' beside a readable key file line", "orvcred.keyfile = /k\njunk\n",
       kConfigOk, "/k", "orvcred", true, 2},
      {"the key file line again, unreadable", "orvcred.keyfile = /k\norvcred.keyfile\n",
       kConfigCannotParse, "", "orvcred.keyfile", true, 2},
      {"no keyfile, a line without '='", "a = b\njunk\n", kConfigCannotParse, "", "orvcred",
       false, 2},
      {"keyfile of 300 characters: refused, not cut", "orvcred.keyfile = " + value300 + "\n",
       kConfigPathTooLong, "", "orvcred.keyfile", true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char dst[kConfigPathSize] = {};
    char nameOut[kKeyFileNameSize];
    std::memset(nameOut, '*', sizeof nameOut);
    KeyFileLookup lookup;
    EXPECT_EQ(getKeyFileParam(dst, c.text.data(), c.text.size(), nameOut, &lookup), c.rc);
    EXPECT_EQ(std::string(dst), c.dst);
    EXPECT_EQ(dst[260], '\0');
    EXPECT_EQ(std::string(nameOut), c.nameOut);
    EXPECT_EQ(lookup.keyFileNamed, c.named);
    EXPECT_EQ(lookup.failedLine, c.failedLine);
    EXPECT_EQ(lookup.failedLineSkipped, c.rc == kConfigOk && c.failedLine != 0);
  }
}

}  // namespace
