#include "cmd/shell/rewriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "lib/orv/keystore_line.h"
#include "platform/files.h"
#include "platform/messages.h"
#include "platform/pbe.h"
#include "testing/test_hooks.h"
#include "testing/scratch_dir.h"

namespace {

constexpr unsigned char kTestKey[] = "rewriter test initial key, 32 b";

// Splits text into lines, each with its newline, the last one without when
// the text does not end in one.
std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0, end; start < text.size(); start = end) {
    end = std::min(text.find('\n', start), text.size() - 1) + 1;
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

class RewriterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    protection_ = new Protection;
    protection_->algorithm = 2;
    initRc_ = protection_->keys.derive(kTestKey, static_cast<int32_t>(sizeof kTestKey - 1), 2);
  }
  static void TearDownTestSuite() { delete protection_; }

  void SetUp() override { ASSERT_EQ(initRc_, 0); }

  struct RunResult { int32_t rc = 0; size_t linesHandled = 0; };

  // Hands the lines of `input`, as the keystore's classifier reads them, to
  // the rewriter, writing into a scratch file, and stops at the first
  // failing line as the commands do. Returns what was written.
  std::string rewrite(const std::string& input, RunResult* result = nullptr) {
    RunResult run;
    std::string path = scratch_.file("out.conf");
    // A new file, with a model to take its permissions from, as -o makes one.
    WalkedPath model;
    WalkedPath out;
    EXPECT_EQ(osWalkPath(scratch_.write("model.conf", "x").c_str(), nullptr, &model, nullptr, 0), 0);
    EXPECT_EQ(osWalkPath(path.c_str(), nullptr, &out, nullptr, 0), 0);
    std::remove(path.c_str());
    {
      Replacement output;
      EXPECT_EQ(output.begin(out, osOpenForReading(model), nullptr, nullptr), 0);
      KeystoreWriter counter;
      counter.state = &run.linesHandled;
      counter.ownLine = [](void* state, TextOutput&, const KeystoreLine&, bool*) {
        ++*static_cast<size_t*>(state);
        return int32_t{0};
      };
      run.rc = rewriteKeystore(output, *protection_, input.data(), input.size(), counter);
      EXPECT_EQ(output.commit(), 0);
    }
    if (result != nullptr) *result = run;
    return readFile(path);
  }

  // The plaintext behind a protected text, or false when it is none of this
  // context's.
  static bool restore(const std::string& text, std::string* plaintext) {
    char* buffer = nullptr;
    int32_t length = 0;
    if (protection_->keys.restore(text.data(), text.size(), &buffer, &length) != 0) {
      return false;
    }
    plaintext->assign(buffer, static_cast<size_t>(length));
    svcPbeFreeBuf(buffer, length);
    return true;
  }

  // The output with every protected text "<ORV>..." of a line "key = <text>"
  // that restores shown as "{protected:plaintext}", so that whole outputs can
  // be compared although every protection takes a fresh nonce. Texts that do
  // not restore (values that were passed through) stay as they are.
  static std::string reveal(const std::string& output) {
    std::string shown;
    for (const std::string& line : splitLines(output)) {
      size_t separator = line.find(" = ");
      size_t textEnd = line.find_first_of(" \t\r\n", separator + 3);
      std::string plaintext;
      if (separator != std::string::npos && textEnd != std::string::npos &&
          line.compare(separator + 3, std::strlen(kProtectedMarker), kProtectedMarker) == 0 &&
          restore(line.substr(separator + 3, textEnd - separator - 3), &plaintext)) {
        shown += line.substr(0, separator + 3) + "{protected:" + plaintext + "}" +
                 line.substr(textEnd);
      } else {
        shown += line;
      }
    }
    return shown;
  }

  static Protection* protection_;
  static int32_t initRc_;

  ScratchDir scratch_;
};

Protection* RewriterTest::protection_ = nullptr;
int32_t RewriterTest::initRc_ = -1;

struct RewriteCase {
  const char* name;
  std::string input;
  std::string expected;  // protected values shown as {protected:plaintext}
};

std::vector<RewriteCase> rewriteCases() {
  const std::string fakeProtected = "<ORV>2!AAAA!BBBB!CCCC";
  return {
      // Credential lines.
      {"plaintext password", "pem.password = secret\n",
       "pem.encrypted = YES\npem.password = {protected:secret}\n"},
      {"leading blanks, no blanks around '=', a value of words",
       "   pem.password=secret trailing words\n",
       "pem.encrypted = YES\npem.password = {protected:secret trailing words}\n"},
      {"a comment and the blanks before it follow the protected value",
       "crl.ldap.pass = Ld4p-Reader-Pw   # the reader's password\n",
       "crl.encrypted = YES\ncrl.ldap.pass = {protected:Ld4p-Reader-Pw}   # the reader's password\n"},
      {"'#' inside a word or first belongs to the value",
       "pem.password = ab#cd\npkcs11.token_pin = #12 #pin\n",
       "pem.encrypted = YES\npem.password = {protected:ab#cd}\n"
       "pkcs11.encrypted = YES\npkcs11.token_pin = {protected:#12} #pin\n"},
      {"every whitespace character separates", "\t\v\f pkcs11.token_pin\t=\f\v1234\t#pin\n",
       "pkcs11.encrypted = YES\npkcs11.token_pin = {protected:1234}\t#pin\n"},
      {"carriage return before the newline: every line written ends so",
       "pem.password = s\r\n",
       "pem.encrypted = YES\r\npem.password = {protected:s}\r\n"},
      // Flag lines and the states they leave.
      {"flag yes keeps a later credential plain",
       "crl.encrypted = yes\ncrl.ldap.pass = pw\n",
       "crl.encrypted = yes\ncrl.ldap.pass = pw\n"},
      {"flag NO is dropped and a later credential protected",
       "crl.encrypted = NO\ncrl.ldap.pass = pw\n",
       "crl.encrypted = YES\ncrl.ldap.pass = {protected:pw}\n"},
      // The marker test.
      {"protected value passes whatever the state",
       "pem.password = " + fakeProtected + "\npem.encrypted = NO\npem.password = " + fakeProtected +
           " # kept\n",
       "pem.password = " + fakeProtected + "\npem.password = " + fakeProtected + " # kept\n"},
      // Lines passed through.
      {"other keys keep their spacing", "  ldap.server\t=  host:389   # main \r\n",
       "  ldap.server\t=  host:389   # main \r\n"},
      // The last line.
      {"a last line without a line end takes the end of the line before",
       "a = 1\r\npem.password = s", "a = 1\r\npem.encrypted = YES\r\npem.password = {protected:s}\r\n"},
  };
}

TEST_F(RewriterTest, RewritesLines) {
  for (const RewriteCase& c : rewriteCases()) {
    SCOPED_TRACE(c.name);
    RunResult result;
    std::string output = rewrite(c.input, &result);
    EXPECT_EQ(result.rc, 0);
    EXPECT_EQ(reveal(output), c.expected);
  }
  EXPECT_TRUE(shownMessages().empty());
}

// A credential that cannot be protected is withheld: its plaintext never
// reaches the output, which the run then discards. The first failing line
// ends the file, with the service's code in the message.
TEST_F(RewriterTest, FailedProtectionIsReportedAndTheLineWithheld) {
  faultArm(FaultPlan{kFaultPbeSave, 2, false, -1, kPbeRandomFailure});
  RunResult result;
  std::string output = rewrite(
      "pem.password = a\ncrl.encrypted = NO\ncrl.ldap.pass = b # c\npkcs11.token_pin = c\n",
      &result);
  EXPECT_EQ(result.rc, kPbeRandomFailure);
  EXPECT_EQ(result.linesHandled, 3u);
  EXPECT_EQ(reveal(output), "pem.encrypted = YES\npem.password = {protected:a}\n");
  ASSERT_EQ(shownMessages().size(), 1u);
  EXPECT_EQ(shownMessages()[0].number, kMsgPbeFailed);
  EXPECT_NE(shownMessages()[0].text.find("failed with code 68."), std::string::npos);
}

}  // namespace
