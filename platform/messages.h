#ifndef ORV_PLATFORM_MESSAGES_H_
#define ORV_PLATFORM_MESSAGES_H_

#include <cstdint>

#include "platform/program.h"

// Catalogue messages. The texts live in the catalogue compiled into the
// platform layer; callers pass a number and a record of inserts.
//
// A message is shown as its identifier, ": " and its text with the inserts
// filled in. The identifier is "ORV", the low 16 bits of the number as four
// upper-case hexadecimal digits and the severity letter of the top four bits
// (0 I, 1 W, 2 E): 0x20009106 is ORV9106E. Informational messages go to
// standard output, warnings and errors to standard error. Control
// characters in text inserts are shown escaped (\n, \r, \xNN), so that a
// file name cannot forge a line of its own.

struct MessageRecord {
  char eyeCatcher[4];  // "XMSA"
  uint32_t reserved;   // 0
  uint64_t numericInsert1;
  uint64_t reservedWords[2];  // 0
  const char* textInsert1;
  const char* textInsert2;
  const char* textInsert3;
};

static_assert(sizeof(MessageRecord) == 56, "MessageRecord layout");

// A record with the eye-catcher set and every insert empty.
MessageRecord messageRecord();
// A record with text inserts 1 and 2.
MessageRecord textMessage(const char* text1, const char* text2 = nullptr);
// A record with numeric insert 1 (a negative number sign-extended) and text
// insert 1.
MessageRecord numberMessage(int64_t number, const char* text1 = nullptr);

// Option words that accompany a message.
constexpr uint32_t kMessageOptionCommand = 32;

// Message numbers.
constexpr uint32_t kMsgBadOption = 0x20007027;        // text 1: argument, text 2: program
constexpr uint32_t kMsgUsage = 0x3056;
constexpr uint32_t kMsgCannotReadConfig = 0x20009062;  // text 1: path
constexpr uint32_t kMsgDefaultKey = 0x10006339;
constexpr uint32_t kMsgCannotReadKeyFile = 0x20006335;  // text 1: key file base name
constexpr uint32_t kMsgKeyFileExposed = 0x2000633A;     // text 1: key file path, 2: "initial" or "new"
constexpr uint32_t kMsgKeyFileForeign = 0x2000633B;     // text 1: key file path, 2: "initial" or "new"
constexpr uint32_t kMsgPbeFailed = 0x20006337;          // numeric 1: code
constexpr uint32_t kMsgCannotOpen = 0x20009106;         // numeric 1: errno, text 1: path
constexpr uint32_t kMsgProtected = 0x9105;              // text 1: keystore path
constexpr uint32_t kMsgDuplicateParam = 0x20009060;     // text 1: path, text 2: name
constexpr uint32_t kMsgMissingParam = 0x20009061;       // text 1: path, text 2: name
constexpr uint32_t kMsgWriteFailed = 0x20009107;        // numeric 1: errno, text 1: path
constexpr uint32_t kMsgReplaceFailed = 0x20009108;      // numeric 1: errno, text 1: keystore path
constexpr uint32_t kMsgPathTooLong = 0x20009109;        // text 1: keystore path
constexpr uint32_t kMsgNotText = 0x2000910A;            // numeric 1: line number, text 1: path
constexpr uint32_t kMsgNoMemory = 0x2000910C;           // no insert
constexpr uint32_t kMsgLoneCarriageReturn = 0x2000910D;  // numeric 1: line, text 1: path
constexpr uint32_t kMsgUtf16 = 0x2000910E;              // text 1: path
constexpr uint32_t kMsgWordsBeforeEquals = 0x2000910F;  // numeric 1: line, text 1: path, 2: key
constexpr uint32_t kMsgPlaintextBehindFlag = 0x10009110;  // numeric 1: line, text 1: path, 2: key
constexpr uint32_t kMsgKeyFileLineUnreadable = 0x20009111;  // numeric 1: line, text 1: path
constexpr uint32_t kMsgPathDoesNotFit = 0x20009112;     // text 1: where the path comes from
constexpr uint32_t kMsgNotRegularFile = 0x20009113;     // text 1: path
// The orvcred command's.
constexpr uint32_t kMsgCredUsage = 0x9200;
constexpr uint32_t kMsgNotReadable = 0x20009201;        // text 1: keystore path, text 2: key
constexpr uint32_t kMsgPlaintextFound = 0x10009202;     // numeric 1: line, text 1: keystore path
constexpr uint32_t kMsgRekeyed = 0x9203;                // text 1: keystore path, text 2: key file
constexpr uint32_t kMsgKeyCreated = 0x9204;             // text 1: key file path
constexpr uint32_t kMsgFileExists = 0x20009205;         // text 1: path
constexpr uint32_t kMsgAllProtected = 0x9207;           // text 1: keystore path
constexpr uint32_t kMsgHardLinks = 0x10009114;          // numeric 1: names, text 1: path
constexpr uint32_t kMsgFileInUse = 0x20009115;          // text 1: path
constexpr uint32_t kMsgForeignLink = 0x20009118;        // text 1: link, text 2: path
constexpr uint32_t kMsgForeignFile = 0x20009119;        // text 1: path
constexpr uint32_t kMsgBadEnvironment = 0x2000911A;     // text 1: variable
constexpr uint32_t kMsgFileChanged = 0x2000911B;        // text 1: path
constexpr uint32_t kMsgUnreadableLineSkipped = 0x1000911D;  // text 1: path, number 1: line
constexpr uint32_t kMsgOwnerNotKept = 0x1000911C;       // text 1: path, text 2: what was lost
constexpr uint32_t kMsgTraceNotRegular = 0x10009117;     // text 1: path
constexpr uint32_t kMsgMisplacedByteOrderMark = 0x20009116;  // numeric 1: line, text 1: path
constexpr uint32_t kMsgRepeatedCredential = 0x1000920A;  // numeric 1: line, text 1: path, 2: key
constexpr uint32_t kMsgDefaultKeyValues = 0x1000920B;    // text 1: path
constexpr uint32_t kMsgNothingToDo = 0x920C;            // text 1: keystore, text 2: key file
constexpr uint32_t kMsgKeyWritten = 0x920D;             // no inserts
constexpr uint32_t kMsgNotCredentialKey = 0x2000920E;  // text 1: name
constexpr uint32_t kMsgNameTwice = 0x2000920F;  // numeric 1: line, text 1: path, 2: name, 3: line
constexpr uint32_t kMsgValueRefused = 0x20009210;  // text 1: name, text 2: why
constexpr uint32_t kMsgWouldHoldBack = 0x20009211;  // numeric 1: line, text 1: path, 2: key
constexpr uint32_t kMsgExampleKeyValues = 0x10009212;  // text 1: path
constexpr uint32_t kMsgBadBaseline = 0x20009213;       // numeric 1: line, text 1: path
constexpr uint32_t kMsgIncomplete = 0x20009209;         // text 1: what is missing
constexpr uint32_t kMsgKeyFileNameUnwritable = 0x20009208;  // text 1: key file, text 2: keystore

// Shows message `number`. The sub-pool, the three zeros, the option word,
// the source name and line and the final 1 identify the caller; the source
// name and line are written to the trace with the message.
void svcDisplayMessage(SubpoolHandle subpool, int32_t zero1, int32_t zero2, int32_t zero3,
                       uint32_t number, const MessageRecord* record, uint32_t optionWord,
                       const char* sourceName, int32_t sourceLine, int32_t one);

// Sends every message to standard error, informational ones too, for a
// program whose standard output is data for scripts.
void svcSetMessagesOnStderr(bool onStderr);

// The text a message would show, identifier included, without a line end.
// Writes at most size - 1 characters and a NUL; returns the full length.
int32_t formatMessage(uint32_t number, const MessageRecord* record, char* buffer, int32_t size);

#endif  // ORV_PLATFORM_MESSAGES_H_
