#include "platform/messages.h"

#include <gtest/gtest.h>

#include <string>


namespace {

std::string shown(uint32_t number, const MessageRecord& record) {
  char buffer[1024];
  formatMessage(number, &record, buffer, sizeof buffer);
  return buffer;
}

TEST(MessagesTest, InsertTextIsNeverInterpretedAsAFormat) {
  MessageRecord record = messageRecord();
  record.textInsert1 = "%s%n{t2}";
  record.textInsert2 = "x";
  EXPECT_EQ(shown(kMsgDuplicateParam, record),
            "ORV9060E: The configuration file '%s%n{t2}' holds more than one 'x' entry. Keep "
            "exactly one.");
}

}  // namespace
