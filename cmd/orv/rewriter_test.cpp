#include "cmd/orv/rewriter.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "cmd/orv/command_records.h"
#include "lib/orv/credential_keys.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/messages.h"
#include "platform/pbe.h"
#include "platform/test_hooks.h"
#include "platform/trace.h"
#include "testing/scratch_dir.h"

namespace {

using States = std::array<int32_t, 3>;
constexpr int32_t kUnseen = kCredentialStateUnknown;
constexpr States kAllUnseen = {kUnseen, kUnseen, kUnseen};

constexpr unsigned char kTestKey[] = "rewriter test initial key, 32 b";

// Splits text into lines as a line reader hands them over: each with its
// newline, the last one without when the text does not end in one.
std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t newline = text.find('\n', start);
    size_t end = newline == std::string::npos ? text.size() : newline + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

// A file's content as a text-mode reader sees it (line ends as "\n").
std::string readTextFile(const std::string& path) {
  std::string content;
  FILE* file = osOpenFile(path.c_str(), "rN");
  if (file == nullptr) return content;
  char chunk[4096];
  size_t got;
  while ((got = osReadFile(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, got);
  osCloseFile(file);
  return content;
}

States currentStates() {
  States states{};
  for (size_t row = 0; row < states.size(); ++row) states[row] = credentialTable[row].state;
  return states;
}

class RewriterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    buildSalt(salt_);
    context_ = PbeContext{};
    context_.algorithm = 2;
    context_.marker = kProtectedMarker;
    context_.initialKeyLength = static_cast<int32_t>(sizeof kTestKey - 1);
    context_.initialKey = kTestKey;
    context_.saltLength = kSaltLength;
    context_.salt = salt_;
    initRc_ = svcPbeInit(&context_);
  }
  static void TearDownTestSuite() { svcPbeTerm(&context_); }

  void SetUp() override {
    ASSERT_EQ(initRc_, 0);
    resetCredentialStates();
    blocksBefore_ = memoryBlocksOutstanding();
  }
  // Every protected text went back to the service.
  void TearDown() override { EXPECT_EQ(memoryBlocksOutstanding(), blocksBefore_); }

  struct RunResult {
    int32_t rc = 0;
    size_t linesHandled = 0;
  };

  // Hands the lines one by one to the rewriter, writing into a real file, and
  // stops at the first failing line as the command does. Each line must come
  // back less its newline and otherwise as it was.
  RunResult rewriteLines(const std::vector<std::string>& lines, const std::string& outputPath) {
    RunResult result;
    FILE* output = osOpenFile(outputPath.c_str(), "wN");
    EXPECT_NE(output, nullptr);
    if (output == nullptr) return result;
    for (const std::string& line : lines) {
      std::vector<char> buffer(line.begin(), line.end());
      buffer.push_back('\0');
      result.rc = rewriteCredentialLine(output, &context_, buffer.data());
      ++result.linesHandled;
      std::string handedIn = line;
      if (!handedIn.empty() && handedIn.back() == '\n') handedIn.pop_back();
      EXPECT_EQ(std::string(buffer.data()), handedIn) << "the line was changed";
      if (result.rc != 0) break;
    }
    EXPECT_EQ(osCloseFile(output), 0);
    return result;
  }

  // Rewrites `input` into a scratch file and returns what was written.
  std::string rewrite(const std::string& input, RunResult* result = nullptr) {
    std::string path = scratch_.file("out.conf");
    RunResult run = rewriteLines(splitLines(input), path);
    if (result != nullptr) *result = run;
    return readTextFile(path);
  }

  // The plaintext behind a protected text, or false when it is none of this
  // context's.
  static bool restore(const std::string& text, std::string* plaintext) {
    char* buffer = nullptr;
    int32_t length = 0;
    if (svcPbeRestore(&context_, text.data(), static_cast<int32_t>(text.size()), &buffer,
                      &length) != 0) {
      return false;
    }
    plaintext->assign(buffer, static_cast<size_t>(length));
    svcPbeFreeBuf(buffer, length);
    return true;
  }

  // The output with every protected line "key = <text>" whose text restores
  // shown as "key = {protected:plaintext}", so that whole outputs can be
  // compared although every protection takes a fresh nonce. Texts that do
  // not restore (values that were passed through) stay as they are.
  static std::string reveal(const std::string& output) {
    std::string shown;
    for (const std::string& line : splitLines(output)) {
      size_t separator = line.find(" = ");
      std::string plaintext;
      if (separator != std::string::npos && line.back() == '\n' &&
          line.compare(separator + 3, std::strlen(kProtectedMarker), kProtectedMarker) == 0 &&
          restore(line.substr(separator + 3, line.size() - separator - 4), &plaintext)) {
        shown += line.substr(0, separator + 3) + "{protected:" + plaintext + "}\n";
      } else {
        shown += line;
      }
    }
    return shown;
  }

  static std::string protectedText(const std::string& plaintext) {
    char* text = nullptr;
    int32_t length = 0;
    EXPECT_EQ(svcPbeSave(&context_, plaintext.data(), static_cast<int32_t>(plaintext.size()), &text,
                         &length),
              0);
    std::string result(text, static_cast<size_t>(length));
    svcPbeFreeBuf(text, length);
    return result;
  }

  static PbeContext context_;
  static unsigned char salt_[kSaltLength];
  static int32_t initRc_;

  ScratchDir scratch_;
  int64_t blocksBefore_ = 0;
};

PbeContext RewriterTest::context_;
unsigned char RewriterTest::salt_[kSaltLength];
int32_t RewriterTest::initRc_ = -1;

TEST_F(RewriterTest, TableRowsFollowTheSharedCredentialKeys) {
  const char* const expectedFlagKeys[] = {"crl.encrypted", "pem.encrypted", "pkcs11.encrypted"};
  size_t rows = 0;
  for (const CredentialRule* rule = credentialTable; rule->credentialKey != nullptr; ++rule) {
    ASSERT_LT(rows, std::size(kCredentialKeys));
    EXPECT_STREQ(rule->credentialKey, kCredentialKeys[rows]);
    EXPECT_STREQ(rule->flagKey, expectedFlagKeys[rows]);
    EXPECT_EQ(rule->state, kCredentialStateUnknown);
    ++rows;
  }
  EXPECT_EQ(rows, std::size(kCredentialKeys));
}

struct RewriteCase {
  const char* name;
  std::string input;
  std::string expected;  // protected values shown as {protected:plaintext}
  States states;         // of the three rows afterwards
};

std::vector<RewriteCase> rewriteCases() {
  const std::string fakeProtected = "<ORV>2!AAAA!BBBB!CCCC";
  return {
      // Credential lines.
      {"plaintext password", "pem.password = secret\n",
       "pem.encrypted = YES\npem.password = {protected:secret}\n", kAllUnseen},
      {"leading blanks, no blanks around '=', trailing word",
       "   pem.password=secret trailing words\n",
       "pem.encrypted = YES\npem.password = {protected:secret}\n", kAllUnseen},
      {"every whitespace character separates", "\t\v\f pkcs11.token_pin\t=\f\v1234\t#pin\n",
       "pkcs11.encrypted = YES\npkcs11.token_pin = {protected:1234}\n", kAllUnseen},
      {"words between key and '=' are skipped", "pem.password second = third fourth\n",
       "pem.encrypted = YES\npem.password = {protected:third}\n", kAllUnseen},
      {"'=' inside the value belongs to it", "crl.ldap.pass = a=b==c\n",
       "crl.encrypted = YES\ncrl.ldap.pass = {protected:a=b==c}\n", kAllUnseen},
      {"'=' right after the key", "crl.ldap.pass==x\n",
       "crl.encrypted = YES\ncrl.ldap.pass = {protected:=x}\n", kAllUnseen},
      {"carriage return before the newline", "pem.password = s\r\n",
       "pem.encrypted = YES\npem.password = {protected:s}\n", kAllUnseen},
      {"bytes above 0x7F are no whitespace", "pem.password = p\xC3\xA4ss\xA0word\n",
       "pem.encrypted = YES\npem.password = {protected:p\xC3\xA4ss\xA0word}\n", kAllUnseen},
      // Keys are prefixes.
      {"key that spells out password", "crl.ldap.password = pw\n",
       "crl.encrypted = YES\ncrl.ldap.password = {protected:pw}\n", kAllUnseen},
      {"token pin followed by a digit", "pkcs11.token_pin2 = 99\n",
       "pkcs11.encrypted = YES\npkcs11.token_pin2 = {protected:99}\n", kAllUnseen},
      {"password with a further word", "pem.password.backup = b\n",
       "pem.encrypted = YES\npem.password.backup = {protected:b}\n", kAllUnseen},
      {"channel password", "pem.password.channel = c\n",
       "pem.password.channel.encrypted = YES\npem.password.channel = {protected:c}\n", kAllUnseen},
      {"channel password with a digit", "pem.password.channel7 = c7\n",
       "pem.password.channel.encrypted = YES\npem.password.channel7 = {protected:c7}\n",
       kAllUnseen},
      {"key that only begins like the channel flag", "pem.password.channel.encryptedX = NO\n",
       "pem.password.channel.encrypted = YES\npem.password.channel.encryptedX = {protected:NO}\n",
       kAllUnseen},
      {"two credentials of one row, each with its flag line",
       "pem.password = a\npem.password.channel = b\n",
       "pem.encrypted = YES\npem.password = {protected:a}\n"
       "pem.password.channel.encrypted = YES\npem.password.channel = {protected:b}\n",
       kAllUnseen},
      // Flag lines and the states they leave.
      {"flag yes keeps a later credential plain",
       "crl.encrypted = yes\ncrl.ldap.pass = pw\n",
       "crl.encrypted = yes\ncrl.ldap.pass = pw\n",
       {1, kUnseen, kUnseen}},
      {"flag NO is dropped and a later credential protected",
       "crl.encrypted = NO\ncrl.ldap.pass = pw\n",
       "crl.encrypted = YES\ncrl.ldap.pass = {protected:pw}\n",
       {0, kUnseen, kUnseen}},
      {"flag of four letters beginning with YES",
       "crl.encrypted = YESS\ncrl.ldap.pass = pw\n",
       "crl.encrypted = YES\ncrl.ldap.pass = {protected:pw}\n",
       {0, kUnseen, kUnseen}},
      {"flag of one letter",
       "crl.encrypted = Y\ncrl.ldap.pass = pw\n",
       "crl.encrypted = YES\ncrl.ldap.pass = {protected:pw}\n",
       {0, kUnseen, kUnseen}},
      {"flag YES with a comment passes whole",
       "crl.encrypted = YES # done\ncrl.ldap.pass = pw\n",
       "crl.encrypted = YES # done\ncrl.ldap.pass = pw\n",
       {1, kUnseen, kUnseen}},
      {"flag without value or '=' leaves the state",
       "crl.encrypted = yEs\ncrl.encrypted =\ncrl.encrypted = \t\ncrl.encrypted\n"
       "crl.ldap.pass = pw\n",
       "crl.encrypted = yEs\ncrl.encrypted =\ncrl.encrypted = \t\ncrl.encrypted\n"
       "crl.ldap.pass = pw\n",
       {1, kUnseen, kUnseen}},
      {"flag without value on a fresh row", "crl.encrypted =\ncrl.ldap.pass = pw\n",
       "crl.encrypted =\ncrl.encrypted = YES\ncrl.ldap.pass = {protected:pw}\n", kAllUnseen},
      {"flag after the credential: written twice",
       "pem.password = s\npem.encrypted = YES\n",
       "pem.encrypted = YES\npem.password = {protected:s}\npem.encrypted = YES\n",
       {kUnseen, 1, kUnseen}},
      {"flag keys are prefixes too",
       "pkcs11.encrypted.old = no\npkcs11.token_pin = 1\n",
       "pkcs11.encrypted = YES\npkcs11.token_pin = {protected:1}\n",
       {kUnseen, kUnseen, 0}},
      {"states follow the last flag line of the row",
       "pem.encrypted = YES\npem.password = a\npem.encrypted = NO\npem.password = b\n"
       "pem.encrypted = Yes\npem.password = c\n",
       "pem.encrypted = YES\npem.password = a\npem.encrypted = YES\npem.password = {protected:b}\n"
       "pem.encrypted = Yes\npem.password = c\n",
       {kUnseen, 1, kUnseen}},
      {"rows keep separate states",
       "crl.encrypted = YES\npkcs11.encrypted = off\npem.password = a\ncrl.ldap.pass = b\n"
       "pkcs11.token_pin = c\n",
       "crl.encrypted = YES\npem.encrypted = YES\npem.password = {protected:a}\ncrl.ldap.pass = b\n"
       "pkcs11.encrypted = YES\npkcs11.token_pin = {protected:c}\n",
       {1, kUnseen, 0}},
      {"flag keys differ in case: no flag", "Pem.Encrypted = NO\npem.password = a\n",
       "Pem.Encrypted = NO\npem.encrypted = YES\npem.password = {protected:a}\n", kAllUnseen},
      // The flag line of channel passwords.
      {"channel flag YES passes, any case",
       "pem.password.channel.encrypted = YES\npem.password.channel.encrypted = yes # ok\n",
       "pem.password.channel.encrypted = YES\npem.password.channel.encrypted = yes # ok\n",
       kAllUnseen},
      {"channel flag with another value is dropped, no state changes",
       "pem.encrypted = YES\npem.password.channel.encrypted = NO\npem.password = a\n",
       "pem.encrypted = YES\npem.password = a\n",
       {kUnseen, 1, kUnseen}},
      {"channel flag without value passes", "pem.password.channel.encrypted =\n",
       "pem.password.channel.encrypted =\n", kAllUnseen},
      {"channel flag whose YES was protected as a password is dropped",
       "pem.password.channel.encrypted = <ORV>2!AAAA!BBBB!CCCC\n", "", kAllUnseen},
      // The marker test.
      {"protected value passes whatever the state",
       "pem.password = " + fakeProtected + "\npem.encrypted = NO\npem.password = " + fakeProtected +
           " # kept\n",
       "pem.password = " + fakeProtected + "\npem.password = " + fakeProtected + " # kept\n",
       {kUnseen, 0, kUnseen}},
      {"marker and three '!' are enough", "pem.password = <ORV>!!!\n", "pem.password = <ORV>!!!\n",
       kAllUnseen},
      {"only two '!' is plaintext", "pem.password = <ORV>x!y!z\n",
       "pem.encrypted = YES\npem.password = {protected:<ORV>x!y!z}\n", kAllUnseen},
      {"marker in another case is plaintext", "pem.password = <orv>a!b!c!d\n",
       "pem.encrypted = YES\npem.password = {protected:<orv>a!b!c!d}\n", kAllUnseen},
      {"marker not at the start is plaintext", "pem.password = x<ORV>a!b!c!d\n",
       "pem.encrypted = YES\npem.password = {protected:x<ORV>a!b!c!d}\n", kAllUnseen},
      // Lines passed through.
      {"key alone", "pem.password\n", "pem.password\n", kAllUnseen},
      {"key and a word without '='", "pem.password secret\n", "pem.password secret\n", kAllUnseen},
      {"'=' as the last character", "pem.password =\n", "pem.password =\n", kAllUnseen},
      {"only blanks after '='", "pem.password = \t \r\n", "pem.password = \t \r\n", kAllUnseen},
      {"key in another case", "PEM.password = secret\n", "PEM.password = secret\n", kAllUnseen},
      {"comment without blank", "#pem.password = secret\n", "#pem.password = secret\n", kAllUnseen},
      {"comment with blank", "  # pem.password = secret\n", "  # pem.password = secret\n",
       kAllUnseen},
      {"empty key", " = value\n", " = value\n", kAllUnseen},
      {"other keys keep their spacing", "  ldap.server\t=  host:389   # main \r\n",
       "  ldap.server\t=  host:389   # main \r\n", kAllUnseen},
      {"empty and blank lines", "\n   \n\t\r\n", "\n   \n\t\r\n", kAllUnseen},
      // The last line.
      {"last line without newline, passed", "a = b\nlast = line", "a = b\nlast = line\n",
       kAllUnseen},
      {"last line without newline, protected", "pem.password = s",
       "pem.encrypted = YES\npem.password = {protected:s}\n", kAllUnseen},
  };
}

TEST_F(RewriterTest, RewritesLines) {
  for (const RewriteCase& c : rewriteCases()) {
    SCOPED_TRACE(c.name);
    resetCredentialStates();
    RunResult result;
    std::string output = rewrite(c.input, &result);
    EXPECT_EQ(result.rc, 0);
    EXPECT_EQ(reveal(output), c.expected);
    EXPECT_EQ(currentStates(), c.states);
  }
  EXPECT_TRUE(shownMessages().empty());
}

TEST_F(RewriterTest, StatesLastFromLineToLine) {
  // Separate calls on separate streams share the table: a flag line seen
  // earlier in the run still governs.
  EXPECT_EQ(reveal(rewrite("crl.encrypted = YES\n")), "crl.encrypted = YES\n");
  EXPECT_EQ(reveal(rewrite("crl.ldap.pass = pw\n")), "crl.ldap.pass = pw\n");
  EXPECT_EQ(reveal(rewrite("crl.encrypted = no\n")), "");
  EXPECT_EQ(reveal(rewrite("crl.ldap.pass = pw\n")),
            "crl.encrypted = YES\ncrl.ldap.pass = {protected:pw}\n");
  // A protection leaves the state as it was.
  EXPECT_EQ(currentStates(), (States{0, kUnseen, kUnseen}));
}

TEST_F(RewriterTest, ProtectedLineHasExactlyTheReportedLength) {
  std::string output = rewrite("pkcs11.token_pin = 4321\n");
  std::vector<std::string> lines = splitLines(output);
  ASSERT_EQ(lines.size(), 2u);
  std::string prefix = "pkcs11.token_pin = ";
  ASSERT_EQ(lines[1].compare(0, prefix.size(), prefix), 0);
  std::string text = lines[1].substr(prefix.size(), lines[1].size() - prefix.size() - 1);
  // The service's own text for the same plaintext has the same length (the
  // nonce and tag are fixed in size).
  EXPECT_EQ(text.size(), protectedText("4321").size());
  std::string plaintext;
  ASSERT_TRUE(restore(text, &plaintext));
  EXPECT_EQ(plaintext, "4321");
}

TEST_F(RewriterTest, ProtectedLineIsPaddedOrBoundedToTheReportedLength) {
  struct Case {
    const char* name;
    std::string text;  // may hold a NUL
    int32_t length;
    std::string expected;
  } cases[] = {
      {"text as long as reported", "abcdef", 6, "pem.password = abcdef\n"},
      {"text ends early at a NUL: padded", std::string("abc\0def", 7), 7,
       "pem.password = abc    \n"},
      {"text longer than reported: bounded", "abcdefgh", 3, "pem.password = abc\n"},
      {"empty text", std::string("\0", 1), 4, "pem.password =     \n"},
  };
  std::string path = scratch_.file("padded.conf");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FILE* output = osOpenFile(path.c_str(), "wN");
    ASSERT_NE(output, nullptr);
    writeProtectedLine(output, "pem.password", c.text.c_str(), c.length);
    ASSERT_EQ(osCloseFile(output), 0);
    EXPECT_EQ(readTextFile(path), c.expected);
  }
}

TEST_F(RewriterTest, LongLinesAreHandledWhole) {
  const std::string longValue = [] {
    std::string value;
    for (int i = 0; value.size() < 100000; ++i) value += "v" + std::to_string(i) + "=!";
    return value;
  }();
  const std::string longKey = "pem.password." + std::string(5000, 'k');
  const std::string longComment = "# " + std::string(300000, 'c');

  std::string output = rewrite("crl.ldap.pass = " + longValue + " tail\n" + longKey + " = short\n" +
                               longComment + "\n" + "  other.key = " + longValue + "\n");
  EXPECT_EQ(reveal(output), "crl.encrypted = YES\ncrl.ldap.pass = {protected:" + longValue +
                                "}\npem.encrypted = YES\n" + longKey + " = {protected:short}\n" +
                                longComment + "\n" + "  other.key = " + longValue + "\n");
}

TEST_F(RewriterTest, ValueBeyondTheServicesLimitIsRefusedNotCut) {
  std::vector<std::string> lines = {
      "pem.password = " + std::string(static_cast<size_t>(kPbeMaxPlaintextBytes) + 1, 'h') + "\n",
      "next = line\n"};
  std::string path = scratch_.file("out.conf");
  RunResult result = rewriteLines(lines, path);
  EXPECT_EQ(result.rc, kPbeBadArgument);
  EXPECT_EQ(result.linesHandled, 1u);
  EXPECT_EQ(readTextFile(path), "") << "the plaintext was written";
  ASSERT_EQ(shownMessages().size(), 1u);
  EXPECT_EQ(shownMessages()[0].number, kMsgPbeFailed);
  EXPECT_EQ(currentStates(), kAllUnseen);
}

// The text of message 0x20006337 for `code`.
std::string pbeFailedText(int32_t code) {
  MessageRecord record = messageRecord();
  record.numericInsert1 = static_cast<uint64_t>(static_cast<int64_t>(code));
  char text[512];
  formatMessage(kMsgPbeFailed, &record, text, sizeof text);
  return text;
}

// A credential that cannot be protected is withheld: its plaintext never
// reaches the output, which the run then discards or leaves incomplete.
TEST_F(RewriterTest, FailedProtectionIsReportedAndTheLineWithheld) {
  struct Case {
    const char* name;
    std::string input;
    uint64_t failAt;
    int32_t code;
    std::string expected;
    size_t linesHandled;
  } cases[] = {
      {"token pin", "pkcs11.token_pin = 1234 # pin\n", 1, kPbeCryptoFailure, "", 1},
      {"negative code is shown sign-extended", "pem.password = s\n", 1, -7, "", 1},
      {"the first failing line ends the file",
       "pem.password = a\ncrl.encrypted = NO\ncrl.ldap.pass = b\npkcs11.token_pin = c\n", 2,
       kPbeRandomFailure, "pem.encrypted = YES\npem.password = {protected:a}\n", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    resetCredentialStates();
    clearObservations();
    FaultPlan plan;
    plan.sites = kFaultPbeSave;
    plan.failAt = c.failAt;
    plan.error = c.code;
    faultArm(plan);
    RunResult result;
    std::string output = rewrite(c.input, &result);
    faultDisarm();
    EXPECT_EQ(result.rc, c.code);
    EXPECT_EQ(result.linesHandled, c.linesHandled);
    EXPECT_EQ(reveal(output), c.expected);
    ASSERT_EQ(shownMessages().size(), 1u);
    EXPECT_EQ(shownMessages()[0].number, kMsgPbeFailed);
    EXPECT_EQ(shownMessages()[0].text, pbeFailedText(c.code));
  }
  // The failure in the last case left row 1 as its flag line set it.
  EXPECT_EQ(currentStates(), (States{0, kUnseen, kUnseen}));
}

// The trace file's records without time and process: "function(n) KIND ...".
std::vector<std::string> traceRecords(const std::string& path) {
  std::vector<std::string> records;
  for (std::string line : splitLines(readFile(path))) {
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t pid = line.find(" pid ");
    size_t start = pid == std::string::npos ? std::string::npos : line.find(' ', pid + 5);
    records.push_back(start == std::string::npos ? line : line.substr(start + 1));
  }
  return records;
}

TEST_F(RewriterTest, FailedProtectionIsTraced) {
  std::string tracePath = scratch_.file("trace.log");
  ASSERT_EQ(traceStart(tracePath.c_str()), 0);
  FaultPlan plan;
  plan.sites = kFaultPbeSave;
  plan.failAt = 2;
  plan.error = kPbeCryptoFailure;
  faultArm(plan);
  RunResult result;
  std::string output = rewrite(
      "pem.password = first-secret\n"
      "crl.ldap.pass = second-secret\n",
      &result);
  traceStop();
  EXPECT_EQ(result.rc, kPbeCryptoFailure);

  std::vector<std::string> records = traceRecords(tracePath);
  // The message record names its source line; only the source name matters.
  for (std::string& record : records) {
    size_t source = record.find("[cmd/orv/orvseal:");
    if (source != std::string::npos) record = record.substr(0, source) + "[cmd/orv/orvseal:N]";
  }
  const std::vector<std::string> expected = {
      "rewriteCredentialLine(371) ENTRY",
      "rewriteCredentialLine(371) EXIT rc=0",
      "rewriteCredentialLine(371) ENTRY",
      "rewriteCredentialLine(371) TEXT detail=0 Failed to encrypt credential: 67",
      "services(0) MESSAGE " + pbeFailedText(kPbeCryptoFailure) + " [cmd/orv/orvseal:N]",
      "rewriteCredentialLine(371) EXIT rc=67",
  };
  EXPECT_EQ(records, expected);
  std::string trace = readFile(tracePath);
  EXPECT_EQ(trace.find("first-secret"), std::string::npos);
  EXPECT_EQ(trace.find("second-secret"), std::string::npos);
}

TEST_F(RewriterTest, NothingIsTracedWhileTracingIsOff) {
  std::string tracePath = scratch_.file("trace.log");
  ASSERT_EQ(traceStart(tracePath.c_str()), 0);
  traceStop();
  FaultPlan plan;
  plan.sites = kFaultPbeSave;
  plan.failAt = 1;
  plan.error = kPbeCryptoFailure;
  faultArm(plan);
  RunResult result;
  rewrite("pem.password = s\n", &result);
  EXPECT_EQ(result.rc, kPbeCryptoFailure);
  EXPECT_EQ(readFile(tracePath), "");
  EXPECT_EQ(shownMessages().size(), 1u);
}

// ---------------------------------------------------------------------------
// Protecting a file twice gives the file of protecting it once.

// One generated line and what the rewriter must make of it.
struct GeneratedLine {
  enum Fate { kPass, kDrop, kProtect } fate;
  std::string text;       // without its newline
  std::string key;        // kProtect: the key as tokenised
  std::string flagLine;   // kProtect: the flag line expected before it
  std::string plaintext;  // kProtect: the value to protect
};

class KeystoreGenerator {
 public:
  KeystoreGenerator(uint32_t seed, std::vector<std::string> realProtected)
      : random_(seed), realProtected_(std::move(realProtected)) {}

  // A file of random lines, with the fate of each under the rows' states.
  std::vector<GeneratedLine> file() {
    states_ = kAllUnseen;
    std::vector<GeneratedLine> lines;
    size_t count = pick(40);
    for (size_t i = 0; i < count; ++i) lines.push_back(line());
    return lines;
  }

  bool chance(int percent) { return pick(100) < static_cast<size_t>(percent); }

 private:
  size_t pick(size_t bound) { return std::uniform_int_distribution<size_t>(0, bound - 1)(random_); }
  template <typename T, size_t N>
  const T& oneOf(const T (&choices)[N]) {
    return choices[pick(N)];
  }

  std::string blanks(bool atLeastOne) {
    static const char* const kBlank[] = {" ", "\t", "  ", " \t ", "\v", "\f"};
    if (!atLeastOne && chance(30)) return "";
    return oneOf(kBlank);
  }

  // A word without whitespace; includes '=', '!', '#', '<', '>' and bytes
  // above 0x7F.
  std::string word(size_t maxLength) {
    static const char kChars[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789=!#<>.:/_-+*%$@";
    std::string text;
    size_t length = 1 + pick(maxLength);
    for (size_t i = 0; i < length; ++i) {
      text += chance(3) ? static_cast<char>(0x80 + pick(0x80)) : kChars[pick(sizeof kChars - 1)];
    }
    return text;
  }

  std::string plaintextValue() {
    std::string value = word(24);
    if (chance(10)) value = "<ORV>" + word(6) + "!" + word(6);   // a marker and too few '!'
    if (chance(5)) value = "<orv>a!b!c!" + word(4);              // marker in another case
    if (chance(5)) value = std::string(2000 + pick(3000), 'L');  // longer than 1023
    while (countBangs(value) >= 3 && value.rfind("<ORV>", 0) == 0) value.pop_back();
    return value;
  }

  static int countBangs(const std::string& text) {
    int count = 0;
    for (char c : text) {
      if (c == '!') ++count;
    }
    return count;
  }

  std::string yesValue() {
    static const char* const kYes[] = {"YES", "yes", "Yes", "yEs"};
    return oneOf(kYes);
  }
  std::string otherFlagValue() {
    static const char* const kOther[] = {"NO", "no", "YESS", "Y", "0", "YES=", "off"};
    return oneOf(kOther);
  }
  std::string tail() { return chance(30) ? blanks(true) + "#" + word(10) : ""; }

  // key, blanks, '=', blanks, value, tail, in any of the layouts the reader
  // accepts.
  std::string assignment(const std::string& key, const std::string& value) {
    std::string between = chance(10) ? blanks(true) + word(5) + blanks(false) : blanks(false);
    while (between.find('=') != std::string::npos) between.erase(between.find('='), 1);
    if (!between.empty() && between.find_first_not_of(" \t\v\f") == 0) between.insert(0, " ");
    return blanks(false) + key + between + "=" + blanks(false) + value + tail();
  }

  GeneratedLine line() {
    static const char* const kCredentialSuffixes[] = {"", "", "", ".backup", "2", "_x"};
    static const char* const kChannelSuffixes[] = {"", "7", ".a", "x"};
    static const char* const kOtherKeys[] = {
        "ldap.server",    "pem.keystore",  "crl.url",      "orvcred.keyfile",
        "pkcs11.library", "pem.passwor",   "crl.ldap.pas", "pkcs11.token_pi",
        "PEM.password",   "Crl.Encrypted", "pem.encrypte", "x.pem.password"};
    GeneratedLine generated{GeneratedLine::kPass, "", "", "", ""};
    size_t row = pick(3);
    switch (pick(10)) {
      case 0: {  // another key
        generated.text = assignment(oneOf(kOtherKeys), word(20));
        break;
      }
      case 1: {  // comment or blank line
        generated.text = chance(50) ? blanks(false) + "#" + blanks(false) +
                                          credentialTable[row].credentialKey + " = " + word(8)
                                    : blanks(false);
        break;
      }
      case 2: {  // key without a value
        std::string key =
            chance(50) ? credentialTable[row].credentialKey : credentialTable[row].flagKey;
        static const char* const kNoValue[] = {"", " =", " = ", "\t=\t", " word"};
        generated.text = blanks(false) + key + oneOf(kNoValue);
        break;
      }
      case 3: {  // flag line of a row
        bool yes = chance(50);
        std::string key = std::string(credentialTable[row].flagKey) + (chance(20) ? ".old" : "");
        generated.text = assignment(key, yes ? yesValue() : otherFlagValue());
        generated.fate = yes ? GeneratedLine::kPass : GeneratedLine::kDrop;
        states_[row] = yes ? 1 : 0;
        break;
      }
      case 4: {  // flag line of channel passwords
        bool yes = chance(60);
        generated.text = assignment(kChannelFlagKey, yes ? yesValue() : otherFlagValue());
        generated.fate = yes ? GeneratedLine::kPass : GeneratedLine::kDrop;
        break;
      }
      case 5: {  // value protected earlier
        std::string value = chance(50) && !realProtected_.empty()
                                ? realProtected_[pick(realProtected_.size())]
                                : "<ORV>2!" + word(8) + "!" + word(8) + "!" + word(8);
        generated.text = assignment(credentialTable[row].credentialKey, value);
        break;
      }
      default: {  // plaintext credential
        std::string key = credentialTable[row].credentialKey;
        bool channel = row == 1 && chance(30);
        key += channel ? std::string(".channel") + oneOf(kChannelSuffixes)
                       : oneOf(kCredentialSuffixes);
        std::string value = plaintextValue();
        generated.text = assignment(key, value);
        if (states_[row] != 1) {
          generated.fate = GeneratedLine::kProtect;
          generated.key = key;
          generated.plaintext = value;
          generated.flagLine = channel ? "pem.password.channel.encrypted = YES"
                                       : std::string(credentialTable[row].flagKey) + " = YES";
        }
        break;
      }
    }
    if (chance(10)) generated.text += "\r";
    return generated;
  }

  std::mt19937 random_;
  std::vector<std::string> realProtected_;
  States states_ = kAllUnseen;
};

TEST_F(RewriterTest, ProtectingTwiceEqualsProtectingOnce) {
  std::vector<std::string> realProtected = {protectedText("earlier"), protectedText("older one")};
  constexpr int kFiles = 150;
  for (int fileNumber = 0; fileNumber < kFiles; ++fileNumber) {
    SCOPED_TRACE("file " + std::to_string(fileNumber));
    KeystoreGenerator generator(static_cast<uint32_t>(fileNumber), realProtected);
    std::vector<GeneratedLine> lines = generator.file();
    std::string input;
    for (const GeneratedLine& line : lines) input += line.text + "\n";
    if (!input.empty() && generator.chance(30)) input.pop_back();  // last line without newline

    resetCredentialStates();
    std::string oncePath = scratch_.file("once.conf");
    RunResult once = rewriteLines(splitLines(input), oncePath);
    ASSERT_EQ(once.rc, 0);

    // Every line met its fate, and every protected value reads back.
    std::vector<std::string> written = splitLines(readTextFile(oncePath));
    size_t next = 0;
    auto nextLine = [&]() -> std::string {
      if (next >= written.size()) return "(end of file)";
      std::string text = written[next++];
      if (!text.empty() && text.back() == '\n') text.pop_back();
      return text;
    };
    for (size_t i = 0; i < lines.size(); ++i) {
      const GeneratedLine& line = lines[i];
      SCOPED_TRACE("line " + std::to_string(i + 1) + ": " + line.text.substr(0, 200));
      if (line.fate == GeneratedLine::kPass) {
        ASSERT_EQ(nextLine(), line.text);
      } else if (line.fate == GeneratedLine::kProtect) {
        ASSERT_EQ(nextLine(), line.flagLine);
        std::string credential = nextLine();
        std::string prefix = line.key + " = ";
        ASSERT_EQ(credential.compare(0, prefix.size(), prefix), 0) << credential;
        std::string plaintext;
        ASSERT_TRUE(restore(credential.substr(prefix.size()), &plaintext)) << credential;
        ASSERT_EQ(plaintext, line.plaintext);
      }
    }
    ASSERT_EQ(nextLine(), "(end of file)");

    // A second run over the output changes nothing.
    resetCredentialStates();
    std::string twicePath = scratch_.file("twice.conf");
    RunResult twice = rewriteLines(splitLines(readTextFile(oncePath)), twicePath);
    ASSERT_EQ(twice.rc, 0);
    ASSERT_TRUE(readFile(twicePath) == readFile(oncePath)) << "second run changed the file";
  }
  EXPECT_TRUE(shownMessages().empty());
}

}  // namespace
