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

TEST(MessagesTest, InsertTextIsNeverInterpretedAsAFormat) {
  MessageRecord record = messageRecord();
  record.textInsert1 = "%s%n{t2}";
  record.textInsert2 = "x";
  EXPECT_EQ(shown(kMsgProtected, record),
            "ORV9105I: The credentials in '%s%n{t2}' are protected.");
}

}  // namespace
