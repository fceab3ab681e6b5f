#include "lib/orv/param_lookup.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "testing/config_helpers.h"
#include "platform/messages.h"
#include "testing/test_hooks.h"
#include "testing/scratch_dir.h"

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

class ParamLookupTest : public ::testing::Test {
 protected:
  void TearDown() override { configMessagesEnabled = 1; }

  ScratchDir scratch;
};

TEST_F(ParamLookupTest, FilterKeepsTheStanzaAndTakesItsNameOffTheKeys) {
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

TEST_F(ParamLookupTest, GetKeyFileParamResultsDestinationAndName) {
  const std::string value300(300, 'v');
  struct Case {
    const char* name;
    bool fileExists;
    std::string text;
    int32_t rc;
    std::string dst, nameOut;
    bool duplicateMessage;
  };
  const Case cases[] = {
      {"present among other stanzas", true,
       "pem.password = s\norvcred.keyfile = C:\\keys\\init.key\ncrl.ldap.pass = t\n", kConfigOk,
       "C:\\keys\\init.key", "orvcred", false},
      {"no orvcred line", true, "pem.password = s\n", kConfigNoStanza, "", "orvcred", false},
      {"orvcred without keyfile", true, "orvcred.other = 1\n", kConfigOk, "", "orvcred", false},
      {"two keyfile lines, same value", true,
       "orvcred.keyfile = /k\norvcred.keyfile = /k\n", kConfigParamNotUnique, "",
       "orvcred.keyfile", true},
      {"a line without '='", true, "orvcred.keyfile = /k\njunk\n", kConfigCannotParse, "",
       "orvcred", false},
      {"missing file", false, "", kConfigCannotRead, "", "orvcred", false},
      {"keyfile of 300 characters: refused, not cut", true,
       "orvcred.keyfile = " + value300 + "\n", kConfigPathTooLong, "", "orvcred.keyfile", false},
  };
  for (int32_t enabled : {0, 1}) {
    configMessagesEnabled = enabled;
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (enabled != 0 ? ", messages on" : ", messages off"));
      clearObservations();
      std::string path = scratch.file("keystore.conf");
      std::remove(path.c_str());
      if (c.fileExists) scratch.write("keystore.conf", c.text);
      char dst[kConfigPathSize] = {};
      char nameOut[kKeyFileNameSize];
      std::memset(nameOut, '*', sizeof nameOut);
      EXPECT_EQ(getKeyFileParam(dst, path.c_str(), nameOut), c.rc);
      EXPECT_EQ(std::string(dst), c.dst);
      EXPECT_EQ(dst[260], '\0');
      EXPECT_EQ(std::string(nameOut), c.nameOut);
      ASSERT_EQ(shownMessages().size(), enabled != 0 && c.duplicateMessage ? 1u : 0u);
      for (const ShownMessage& shown : shownMessages()) EXPECT_EQ(shown.number, kMsgDuplicateParam);
    }
  }
}

}  // namespace
