#include "lib/orv/param_lookup.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "lib/orv/test_support.h"
#include "platform/memory.h"
#include "platform/messages.h"
#include "platform/runtime.h"
#include "testing/test_hooks.h"
#include "platform/trace.h"
#include "testing/scratch_dir.h"

namespace {

// A message as the platform shows it, for comparing whole texts.
std::string expectedMessage(uint32_t number, const char* text1, const char* text2 = nullptr) {
  MessageRecord record = messageRecord();
  record.textInsert1 = text1;
  record.textInsert2 = text2;
  char text[1024];
  formatMessage(number, &record, text, sizeof text);
  return text;
}

std::vector<std::string> shownTexts() {
  std::vector<std::string> texts;
  for (const ShownMessage& message : shownMessages()) texts.push_back(message.text);
  return texts;
}

std::string errorText(int32_t error) {
  char text[1024];
  EXPECT_EQ(osStrerror(text, sizeof text, error), 0);
  return text;
}

// The trace texts of the file with the line numbers of this library's
// source replaced by '#'.
std::vector<std::string> lookupTraceTexts(const std::string& tracePath) {
  std::vector<std::string> texts;
  for (const std::string& text : traceTexts(tracePath)) texts.push_back(withoutLineNumbers(text));
  return texts;
}

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
  void SetUp() override {
    blocksAtStart_ = memoryBlocksOutstanding();
    configMessagesEnabled = 1;
  }
  void TearDown() override {
    configMessagesEnabled = 1;
    EXPECT_EQ(memoryBlocksOutstanding(), blocksAtStart_) << "blocks leaked";
  }

  std::string startTrace() {
    std::string path = scratch.file("trace.log");
    EXPECT_EQ(traceStart(path.c_str()), 0);
    return path;
  }

  ScratchDir scratch;

 private:
  int64_t blocksAtStart_ = 0;
};

// --- filterStanza ---------------------------------------------------------

TEST_F(ParamLookupTest, FilterKeepsTheStanzaAndTakesItsNameOffTheKeys) {
  const std::string prefix31(31, 's');
  const std::string prefix32(32, 's');
  const std::string prefix40(40, 'o');
  struct Case {
    const char* name;
    std::string text;
    std::string stanza;
    KeyValues expected;
  };
  const Case cases[] = {
      {"orvcred",
       "orvcred.keyfile = a\nother.x = b\norvcred.a.b = c\norvcred. = d\norvcred = e\n"
       "ORVCRED.keyfile = f\norvcredx.y = g\n.z = h\n" + prefix40 + ".keyfile = i\n",
       "orvcred",
       {{"keyfile", "a"}, {"a.b", "c"}, {"", "d"}}},
      {"nothing of the stanza", "a.b = 1\nc.d = 2\n", "orvcred", {}},
      {"everything of the stanza", "s.a = 1\ns.b = 2\n", "s", {{"a", "1"}, {"b", "2"}}},
      {"stanza name of 31 characters", prefix31 + ".p = 1\n", prefix31, {{"p", "1"}}},
      {"a prefix of 32 characters matches no stanza", prefix32 + ".p = 1\n", prefix32, {}},
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

// --- loadStanza -----------------------------------------------------------

TEST_F(ParamLookupTest, LoadStanzaLocatesTheFileWithoutAPath) {
  std::string path = scratch.write("keystore.conf", "orvcred.keyfile = /k\n");
  ScopedEnv configured("VKT_KEYSTORE_CONF", path.c_str());
  List* list = nullptr;
  EXPECT_EQ(loadStanza(nullptr, &list, "orvcred", 1), kConfigOk);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(entriesOf(list), (KeyValues{{"keyfile", "/k"}}));
  destroyConfigList(list);
}

// Each failure: its code, no list, its message and its trace texts.
TEST_F(ParamLookupTest, LoadStanzaFailuresReportAndLeaveNoList) {
  std::string missing = scratch.file("missing.conf");
  std::string empty = scratch.write("empty.conf", "");
  std::string unparsable = scratch.write("bad.conf", "orvcred.keyfile = /k\nno pair here\n");
  std::string foreign = scratch.write("foreign.conf", "ORVCRED.keyfile = /k\n");
  const std::string at = "loadStanza(157) detail=2 lib/orv/param_lookup : #  ";
  struct Case {
    const char* name;
    std::string path;
    int32_t rc;
    std::vector<std::string> messages;
    std::vector<std::string> traces;
  };
  const Case cases[] = {
      {"missing file", missing, kConfigCannotRead,
       {expectedMessage(kMsgCannotReadConfig, missing.c_str())},
       {"loadStanza(157) detail=2 orvcred",
        "readConfigFile(163) detail=2 Opening config file : " + missing,
        at + "Cannot read config file '" + missing + "'",
        at + "errno '" + std::to_string(ENOENT) + "': " + errorText(ENOENT)}},
      {"unparsable file", unparsable, kConfigCannotParse,
       {expectedMessage(kMsgCannotReadConfig, unparsable.c_str())},
       {"loadStanza(157) detail=2 orvcred",
        "readConfigFile(163) detail=2 Opening config file : " + unparsable,
        "parseConfigText(164) detail=2 Read config line: Key: 'orvcred.keyfile' , Value: '/k'",
        at + "Cannot parse config file"}},
      {"no entry of the stanza", foreign, kConfigNoStanza, {},
       {"loadStanza(157) detail=2 orvcred",
        "readConfigFile(163) detail=2 Opening config file : " + foreign}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clearObservations();
    std::string tracePath = startTrace();
    List* list = nullptr;
    EXPECT_EQ(loadStanza(c.path.c_str(), &list, "orvcred", 1), c.rc);
    EXPECT_EQ(list, nullptr);
    traceStop();
    EXPECT_EQ(shownTexts(), c.messages);
    EXPECT_EQ(lookupTraceTexts(tracePath), c.traces);
    std::remove(tracePath.c_str());
  }
}

// --- getStanzaParam -------------------------------------------------------

TEST_F(ParamLookupTest, GetStanzaParamAppliesTheUniquenessRule) {
  List* list = parsedList("keyfile = /keys/k\ndup = 1\ndup = 1\nlong = abcdefgh\n");
  ASSERT_NE(list, nullptr);
  const char* path = "/etc/keystore.conf";
  const std::string at = "getStanzaParam(154) detail=2 lib/orv/param_lookup : #  ";
  struct Case {
    const char* name;
    List* list;
    const char* param;
    int32_t len;
    int32_t allowMissing;
    int32_t rc;
    std::string dst;  // the 12 bytes of dst afterwards
    std::vector<std::string> messages;
    std::vector<std::string> traces;
  };
  const std::string untouched(12, '*');
  const Case cases[] = {
      {"present", list, "keyfile", 11, 0, kConfigOk, std::string("/keys/k\0\0\0\0*", 12), {},
       {"getStanzaParam(154) detail=2 keyfile"}},
      {"value cut at len, no NUL", list, "long", 5, 1, kConfigOk, "abcde*******", {},
       {"getStanzaParam(154) detail=2 long"}},
      {"more than once", list, "dup", 11, 1, kConfigParamNotUnique, untouched,
       {expectedMessage(kMsgDuplicateParam, path, "dup")},
       {"getStanzaParam(154) detail=2 dup",
        at + "Config file contains more than one 'dup' entry"}},
      {"absent and allowed", list, "missing", 11, 1, kConfigParamAbsent, untouched, {},
       {"getStanzaParam(154) detail=2 missing",
        at + "Config file does not contain 'missing' entry"}},
      {"absent and required", list, "missing", 11, 0, kConfigParamNotUnique, untouched,
       {expectedMessage(kMsgMissingParam, path, "missing")},
       {"getStanzaParam(154) detail=2 missing",
        at + "Config file does not contain 'missing' entry"}},
      {"len 0", list, "keyfile", 0, 0, kConfigBadArguments, untouched, {},
       {at + "Incorrect arguments"}},
      {"null list", nullptr, "keyfile", 11, 0, kConfigBadArguments, untouched, {},
       {at + "Incorrect arguments"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clearObservations();
    std::string tracePath = startTrace();
    char dst[12];
    std::memset(dst, '*', sizeof dst);
    EXPECT_EQ(getStanzaParam(c.list, path, c.param, dst, c.len, c.allowMissing), c.rc);
    traceStop();
    EXPECT_EQ(std::string(dst, sizeof dst), c.dst);
    EXPECT_EQ(shownTexts(), c.messages);
    EXPECT_EQ(lookupTraceTexts(tracePath), c.traces);
    std::remove(tracePath.c_str());
  }
  EXPECT_EQ(getStanzaParam(list, path, "keyfile", nullptr, 11, 0), kConfigBadArguments);

  // The messages answer to configMessagesEnabled alone.
  clearObservations();
  configMessagesEnabled = 0;
  char dst[12] = {};
  EXPECT_EQ(getStanzaParam(list, path, "dup", dst, 11, 0), kConfigParamNotUnique);
  EXPECT_EQ(getStanzaParam(list, path, "missing", dst, 11, 0), kConfigParamNotUnique);
  EXPECT_EQ(shownMessages().size(), 0u);
  destroyConfigList(list);
}

// --- getKeyFileParam ------------------------------------------------------

TEST_F(ParamLookupTest, GetKeyFileParamResultsDestinationAndName) {
  const std::string value300(300, 'v');
  struct Case {
    const char* name;
    bool fileExists;
    std::string text;
    int32_t rc;
    std::string dst;
    std::string nameOut;
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
      {"empty keyfile value", true, "orvcred.keyfile =\n", kConfigCannotParse, "", "orvcred",
       false},
      {"a line without '='", true, "orvcred.keyfile = /k\njunk\n", kConfigCannotParse, "",
       "orvcred", false},
      {"empty file", true, "", kConfigCannotRead, "", "orvcred", false},
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
      std::vector<std::string> messages;
      if (enabled != 0 && c.duplicateMessage) {
        messages.push_back(expectedMessage(kMsgDuplicateParam, path.c_str(), "keyfile"));
      }
      EXPECT_EQ(shownTexts(), messages);

      char dstWithoutName[kConfigPathSize] = {};
      EXPECT_EQ(getKeyFileParam(dstWithoutName, path.c_str(), nullptr), c.rc);
      EXPECT_EQ(std::string(dstWithoutName), c.dst);
    }
  }
}

// Whether a file names its key file, also when the entry cannot be used.
TEST_F(ParamLookupTest, KeyFileLookupTellsWhetherTheFileNamesAKeyFile) {
  struct Case {
    std::string text;
    int32_t rc;
    bool named;
    int64_t failedLine;
  } cases[] = {
      {"a = 1\norvcred.keyfile = /k\n", kConfigOk, true, 0},
      {"a = 1\njunk\norvcred.keyfile = /k\n", kConfigCannotParse, true, 2},
      {"orvcred.keyfile =\na = 1\n", kConfigCannotParse, true, 1},
      {"junk\na = 1\n", kConfigCannotParse, false, 1},
      {"a = 1\n", kConfigNoStanza, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string path = scratch.write("keystore.conf", c.text);
    char dst[kConfigPathSize] = {};
    KeyFileLookup lookup;
    EXPECT_EQ(getKeyFileParam(dst, path.c_str(), nullptr, &lookup), c.rc);
    EXPECT_EQ(lookup.keyFileNamed, c.named);
    EXPECT_EQ(lookup.failedLine, c.failedLine);
  }
}

}  // namespace
