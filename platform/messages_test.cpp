#include "platform/messages.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/test_hooks.h"

namespace {

std::string shown(uint32_t number, const MessageRecord& record) {
  char buffer[1024];
  formatMessage(number, &record, buffer, sizeof buffer);
  return buffer;
}

TEST(MessagesTest, IdentifierCarriesNumberAndSeverity) {
  MessageRecord record = messageRecord();
  record.numericInsert1 = 2;
  record.textInsert1 = "C:\\keys\\a.conf";
  struct Case {
    uint32_t number;
    const char* prefix;
  };
  const Case cases[] = {
      {0x20009106, "ORV9106E: "}, {0x10006339, "ORV6339W: "}, {0x9105, "ORV9105I: "},
      {0x3056, "ORV3056I: "},     {0x20007027, "ORV7027E: "}, {0x20009083, "ORV9083E: "},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(shown(c.number, record).rfind(c.prefix, 0), 0u) << shown(c.number, record);
  }
}

TEST(MessagesTest, InsertsAreFilledIn) {
  MessageRecord record = messageRecord();
  record.numericInsert1 = static_cast<uint64_t>(static_cast<int64_t>(-5));
  record.textInsert1 = "/tmp/keystore.conf";
  record.textInsert2 = "keyfile";
  EXPECT_EQ(shown(kMsgDuplicateParam, record),
            "ORV9060E: The configuration file '/tmp/keystore.conf' holds more than one 'keyfile' "
            "entry. Keep exactly one.");
  EXPECT_EQ(shown(kMsgPbeFailed, record),
            "ORV6337E: The password-based encryption service failed with code -5. No credential "
            "was protected by this step.");
  record.textInsert2 = "orvseal";
  record.textInsert1 = "-x";
  EXPECT_EQ(shown(kMsgBadOption, record),
            "ORV7027E: The argument '-x' is not an option of orvseal, or its value is missing or "
            "invalid.");
}

TEST(MessagesTest, ErrnoInsertShowsTheSystemText) {
  MessageRecord record = messageRecord();
  record.numericInsert1 = 2;  // ENOENT on every platform
  record.textInsert1 = "a.conf";
  std::string text = shown(kMsgCannotOpen, record);
  EXPECT_EQ(text.rfind("ORV9106E: The file 'a.conf' cannot be opened (error 2: ", 0), 0u) << text;
  EXPECT_NE(text.find("o such file"), std::string::npos) << text;
}

TEST(MessagesTest, InsertTextIsNeverInterpretedAsAFormat) {
  MessageRecord record = messageRecord();
  record.textInsert1 = "%s%n{t2}";
  record.textInsert2 = "x";
  EXPECT_EQ(shown(kMsgProtected, record),
            "ORV9105I: The credentials in '%s%n{t2}' are protected.");
}

TEST(MessagesTest, MissingInsertsAndBadRecordsShowEmptyInserts) {
  MessageRecord record = messageRecord();
  EXPECT_EQ(shown(kMsgProtected, record), "ORV9105I: The credentials in '' are protected.");
  MessageRecord bad = messageRecord();
  bad.eyeCatcher[0] = 'Y';
  bad.textInsert1 = "ignored";
  EXPECT_EQ(shown(kMsgProtected, bad), "ORV9105I: The credentials in '' are protected.");
}

TEST(MessagesTest, UnknownNumberStillShowsItsIdentifier) {
  MessageRecord record = messageRecord();
  EXPECT_EQ(shown(0x2000ABCD, record),
            "ORVABCDE: Message 0x2000ABCD has no text in this program's catalogue.");
}

TEST(MessagesTest, FormatReportsFullLengthAndTruncatesSafely) {
  MessageRecord record = messageRecord();
  record.textInsert1 = "k";
  char small[8];
  int32_t length = formatMessage(kMsgProtected, &record, small, sizeof small);
  EXPECT_EQ(std::string(small), "ORV9105");
  EXPECT_EQ(length, static_cast<int32_t>(shown(kMsgProtected, record).size()));
}

TEST(MessagesTest, DisplayedMessagesAreObservable) {
  MessageRecord record = messageRecord();
  record.textInsert1 = "k.conf";
  svcDisplayMessage(svcMiniSubpool, 0, 0, 0, kMsgProtected, &record, kMessageOptionCommand,
                    "cmd/orv/orvseal", 10, 1);
  ASSERT_EQ(shownMessages().size(), 1u);
  EXPECT_EQ(shownMessages()[0].number, kMsgProtected);
  EXPECT_EQ(shownMessages()[0].text, "ORV9105I: The credentials in 'k.conf' are protected.");
}

}  // namespace
