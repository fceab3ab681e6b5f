#include "platform/pbe.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "testing/test_hooks.h"
#include "testing/scratch_dir.h"

namespace {

// The known-answer inputs. The expected texts below were computed apart
// from this code (PBKDF2 with Python's hashlib and `openssl kdf`, AES-GCM
// with Python's cryptography package); both backends must give them byte
// for byte.
const char kKnownInitialKey[] = "orvseal known-answer initial key";
const unsigned char kKnownSalt[24] = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,
                                      0x18, 0x19, 0x1a, 0x1b, 0x1c, 0x1d, 0x1e, 0x1f,
                                      0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27};
const unsigned char kKnownNonce[kPbeNonceBytes] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
const char kKnownPlaintext[] = "pem-store passw0rd#1";

const char kKnownText1[] =
    "<ORV>1!AAECAwQFBgcICQoL!aqkVr7Sw9nefVdZKU5MS+TgRQ8A=!zt6WihKXrD6zpppDUzfsjg==";
const char kKnownText2[] =
    "<ORV>2!AAECAwQFBgcICQoL!+to+mRIhxwh4MzQL/BSqWDlJxSk=!e1XnNa4kizcNWCGz0uBnaw==";
const char kKnownEmptyText1[] = "<ORV>1!AAECAwQFBgcICQoL!!6mjHpwQF530qqN6IRSF2LA==";
const char kKnownEmptyText2[] = "<ORV>2!AAECAwQFBgcICQoL!!fOIPfeUdEz3rDNTZnZr8Uw==";

const char kMarker[] = "<ORV>";
// The longest marker, of every kind of character a marker may hold.
const char kLongMarker[] = "~<XYZ>|0123456789abc$%&'()*+,-./";
static_assert(sizeof kLongMarker - 1 == kPbeMaxMarkerLength, "the longest marker");

const char kOtherInitialKey[] = "orvseal known-answer initial kez";
const unsigned char kOtherSalt[24] = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,
                                      0x18, 0x19, 0x1a, 0x1b, 0x1c, 0x1d, 0x1e, 0x1f,
                                      0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x26};

PbeContext makeContext(int32_t algorithm, const char* marker, const char* initialKey,
                       const unsigned char* salt) {
  PbeContext context{};
  context.algorithm = algorithm;
  context.marker = marker;
  context.initialKeyLength = static_cast<int32_t>(std::strlen(initialKey));
  context.initialKey = reinterpret_cast<const unsigned char*>(initialKey);
  context.saltLength = sizeof kKnownSalt;
  context.salt = salt;
  return context;
}

bool serviceWordsZero(const PbeContext& context) {
  for (uint64_t word : context.serviceWords) {
    if (word != 0) return false;
  }
  return true;
}

// svcPbeSave into a string. The buffer must be NUL-terminated and goes back
// through svcPbeFreeBuf; on failure both outputs must be cleared.
int32_t save(PbeContext* context, const std::string& plaintext, std::string* text) {
  char* buffer = reinterpret_cast<char*>(0x1);
  int32_t length = -1;
  int32_t rc = svcPbeSave(context, plaintext.data(), static_cast<int32_t>(plaintext.size()),
                          &buffer, &length);
  if (rc != 0) {
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(length, 0);
    return rc;
  }
  EXPECT_NE(buffer, nullptr);
  EXPECT_EQ(buffer[length], '\0');
  text->assign(buffer, static_cast<size_t>(length));
  EXPECT_EQ(svcPbeFreeBuf(buffer, length), 0);
  return rc;
}

int32_t restore(PbeContext* context, const std::string& text, std::string* plaintext) {
  char* buffer = reinterpret_cast<char*>(0x1);
  int32_t length = -1;
  int32_t rc =
      svcPbeRestore(context, text.data(), static_cast<int32_t>(text.size()), &buffer, &length);
  if (rc != 0) {
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(length, 0);
    return rc;
  }
  EXPECT_NE(buffer, nullptr);
  EXPECT_EQ(buffer[length], '\0');
  plaintext->assign(buffer, static_cast<size_t>(length));
  EXPECT_EQ(svcPbeFreeBuf(buffer, length), 0);
  return rc;
}

std::vector<std::string> splitFields(const std::string& text) {
  std::vector<std::string> fields(1);
  for (char c : text) {
    if (c == '!') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

// Checks the whole form of a protected text of `plaintextLength` bytes.
void expectProtectedForm(const std::string& text, const std::string& marker, int32_t algorithm,
                         size_t plaintextLength) {
  std::vector<std::string> fields = splitFields(text);
  ASSERT_EQ(fields.size(), 4u) << text;
  EXPECT_EQ(fields[0], marker + std::to_string(algorithm));
  EXPECT_EQ(fields[1].size(), 16u);
  EXPECT_EQ(fields[2].size(), (plaintextLength + 2) / 3 * 4);
  EXPECT_EQ(fields[3].size(), 24u);
  const std::string base64Alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
  for (size_t i = 1; i < fields.size(); ++i) {
    EXPECT_EQ(fields[i].find_first_not_of(base64Alphabet), std::string::npos) << fields[i];
  }
  for (char c : text) {
    ASSERT_TRUE(c > ' ' && c < '\x7F' && c != '#') << "character " << static_cast<int>(c);
  }
}

// A pseudo-random byte string, the same on every run.
std::string patternBytes(size_t length, uint32_t seed) {
  std::string bytes(length, '\0');
  uint32_t state = seed;
  for (char& c : bytes) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}

// Contexts are initialised once for the suite: each derivation takes
// 600,000 PBKDF2 iterations.
class PbeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    context1 = makeContext(1, kMarker, kKnownInitialKey, kKnownSalt);
    context2 = makeContext(2, kMarker, kKnownInitialKey, kKnownSalt);
    longMarkerContext = makeContext(2, kLongMarker, kKnownInitialKey, kKnownSalt);
    otherKeyContext = makeContext(2, kMarker, kOtherInitialKey, kKnownSalt);
    otherSaltContext = makeContext(2, kMarker, kKnownInitialKey, kOtherSalt);
    for (PbeContext* context : allContexts()) ASSERT_EQ(svcPbeInit(context), 0);
  }

  static void TearDownTestSuite() {
    for (PbeContext* context : allContexts()) svcPbeTerm(context);
  }

  static std::vector<PbeContext*> allContexts() {
    return {&context1, &context2, &longMarkerContext, &otherKeyContext, &otherSaltContext};
  }

  void SetUp() override { blocksBefore_ = memoryBlocksOutstanding(); }

  void TearDown() override {
    pbeSetNonceForTesting(nullptr);
    EXPECT_EQ(memoryBlocksOutstanding(), blocksBefore_) << "blocks leaked";
  }

  static PbeContext context1;
  static PbeContext context2;
  static PbeContext longMarkerContext;
  static PbeContext otherKeyContext;
  static PbeContext otherSaltContext;

 private:
  int64_t blocksBefore_ = 0;
};

PbeContext PbeTest::context1;
PbeContext PbeTest::context2;
PbeContext PbeTest::longMarkerContext;
PbeContext PbeTest::otherKeyContext;
PbeContext PbeTest::otherSaltContext;

TEST_F(PbeTest, KnownAnswers) {
  struct Case {
    PbeContext* context;
    std::string plaintext;
    std::string expected;
  } cases[] = {
      {&context1, kKnownPlaintext, kKnownText1},
      {&context2, kKnownPlaintext, kKnownText2},
      {&context1, "", kKnownEmptyText1},
      {&context2, "", kKnownEmptyText2},
  };
  pbeSetNonceForTesting(kKnownNonce);
  for (const Case& c : cases) {
    std::string text;
    ASSERT_EQ(save(c.context, c.plaintext, &text), 0);
    EXPECT_EQ(text, c.expected);
    std::string plaintext;
    ASSERT_EQ(restore(c.context, c.expected, &plaintext), 0) << c.expected;
    EXPECT_EQ(plaintext, c.plaintext);
  }
}

TEST_F(PbeTest, RoundTripsKeepEveryByte) {
  std::string allBytes;
  for (int i = 0; i < 256; ++i) allBytes += static_cast<char>(i);
  const std::vector<std::string> plaintexts = {
      "",
      "a",
      "ab",
      "abc",
      "s3cret",
      std::string("nul\0inside", 10),
      "separators ! and # and <ORV>2!x!y!z",
      " leading and trailing blanks \r\n",
      allBytes,
      patternBytes(1024 * 1024 + 1, 7),
  };
  for (PbeContext* context : {&context1, &context2, &longMarkerContext}) {
    for (const std::string& plaintext : plaintexts) {
      SCOPED_TRACE("algorithm " + std::to_string(context->algorithm) + ", marker " +
                   context->marker + ", " + std::to_string(plaintext.size()) + " bytes");
      std::string text;
      ASSERT_EQ(save(context, plaintext, &text), 0);
      expectProtectedForm(text, context->marker, context->algorithm, plaintext.size());
      std::string restored;
      ASSERT_EQ(restore(context, text, &restored), 0);
      EXPECT_EQ(restored, plaintext);
    }
  }
}

TEST_F(PbeTest, LongestPlaintextRoundTrips) {
  std::string plaintext = patternBytes(kPbeMaxPlaintextBytes, 11);
  std::string text;
  ASSERT_EQ(save(&context2, plaintext, &text), 0);
  EXPECT_EQ(text.size(), 5u + 1 + 3 + 16 + (plaintext.size() + 2) / 3 * 4 + 24);
  std::string restored;
  ASSERT_EQ(restore(&context2, text, &restored), 0);
  EXPECT_TRUE(restored == plaintext);
}

TEST_F(PbeTest, EverySaveTakesAFreshNonce) {
  std::set<std::string> texts;
  std::set<std::string> nonces;
  for (int i = 0; i < 8; ++i) {
    std::string text;
    ASSERT_EQ(save(&context2, "same plaintext", &text), 0);
    texts.insert(text);
    nonces.insert(splitFields(text)[1]);
    std::string restored;
    ASSERT_EQ(restore(&context2, text, &restored), 0);
    EXPECT_EQ(restored, "same plaintext");
  }
  EXPECT_EQ(texts.size(), 8u);
  EXPECT_EQ(nonces.size(), 8u);

  // A fixed test nonce repeats the text; clearing it brings the random
  // generator back.
  std::string first, second;
  pbeSetNonceForTesting(kKnownNonce);
  ASSERT_EQ(save(&context2, "same plaintext", &first), 0);
  ASSERT_EQ(save(&context2, "same plaintext", &second), 0);
  EXPECT_EQ(first, second);
  pbeSetNonceForTesting(nullptr);
  ASSERT_EQ(save(&context2, "same plaintext", &first), 0);
  ASSERT_EQ(save(&context2, "same plaintext", &second), 0);
  EXPECT_NE(first, second);
  EXPECT_NE(splitFields(first)[1], "AAECAwQFBgcICQoL");
}

// Every variant of the known text of algorithm 2 that must be refused, with
// its code.
TEST_F(PbeTest, AlteredTextsAreRefused) {
  const std::string nonce = "AAECAwQFBgcICQoL";
  const std::string ciphertext = "+to+mRIhxwh4MzQL/BSqWDlJxSk=";
  const std::string tag = "e1XnNa4kizcNWCGz0uBnaw==";
  auto text = [](const std::string& head, const std::string& n, const std::string& c,
                 const std::string& t) { return head + "!" + n + "!" + c + "!" + t; };
  ASSERT_EQ(text("<ORV>2", nonce, ciphertext, tag), kKnownText2);

  struct Case {
    const char* what;
    std::string text;
    int32_t expected;
  } cases[] = {
      // Well-formed, but not what was protected.
      {"nonce changed", text("<ORV>2", "BAECAwQFBgcICQoL", ciphertext, tag), kPbeNotAuthentic},
      {"ciphertext changed", text("<ORV>2", nonce, "/to+mRIhxwh4MzQL/BSqWDlJxSk=", tag),
       kPbeNotAuthentic},
      {"last ciphertext byte changed", text("<ORV>2", nonce, "+to+mRIhxwh4MzQL/BSqWDlJxSo=", tag),
       kPbeNotAuthentic},
      {"ciphertext shortened", text("<ORV>2", nonce, "+to+mRIhxwh4MzQL/BSqWDlJ", tag),
       kPbeNotAuthentic},
      {"ciphertext removed", text("<ORV>2", nonce, "", tag), kPbeNotAuthentic},
      {"tag changed", text("<ORV>2", nonce, ciphertext, "f1XnNa4kizcNWCGz0uBnaw=="),
       kPbeNotAuthentic},
      // Another marker or algorithm.
      {"marker in lower case", text("<orv>2", nonce, ciphertext, tag), kPbeWrongMarker},
      {"other marker", text("<ORW>2", nonce, ciphertext, tag), kPbeWrongMarker},
      {"marker shortened", text("<ORV2", nonce, ciphertext, tag), kPbeWrongMarker},
      {"marker lengthened", text("X<ORV>2", nonce, ciphertext, tag), kPbeWrongMarker},
      {"other algorithm", text("<ORV>1", nonce, ciphertext, tag), kPbeWrongAlgorithm},
      // Not a protected text at all.
      {"empty", "", kPbeMalformed},
      {"head only", "<ORV>2", kPbeMalformed},
      {"separators only", "<ORV>2!!!", kPbeMalformed},
      {"truncated", std::string(kKnownText2).substr(0, 30), kPbeMalformed},
      {"tag truncated", std::string(kKnownText2).substr(0, sizeof kKnownText2 - 2), kPbeMalformed},
      {"tag removed", text("<ORV>2", nonce, ciphertext, ""), kPbeMalformed},
      {"extra separator at the end", std::string(kKnownText2) + "!", kPbeMalformed},
      {"extra separator inside", text("<ORV>2", nonce, "+to+mRIh!xwh4MzQL/BSqWDlJxSk=", tag),
       kPbeMalformed},
      {"two separators", "<ORV>2!" + nonce + "!" + ciphertext + tag, kPbeMalformed},
      {"no digit", text("<ORV>", nonce, ciphertext, tag), kPbeMalformed},
      {"digit 0", text("<ORV>0", nonce, ciphertext, tag), kPbeMalformed},
      {"digit 3", text("<ORV>3", nonce, ciphertext, tag), kPbeMalformed},
      {"digit without marker", text("2", nonce, ciphertext, tag), kPbeMalformed},
      {"blank before the marker", text(" <ORV>2", nonce, ciphertext, tag), kPbeMalformed},
      {"marker too long",
       text(std::string(kPbeMaxMarkerLength + 1, 'M') + "2", nonce, ciphertext, tag),
       kPbeMalformed},
      {"nonce of 11 bytes", text("<ORV>2", "AAECAwQFBgcICQo=", ciphertext, tag), kPbeMalformed},
      {"nonce of 13 bytes", text("<ORV>2", "AAECAwQFBgcICQoLDA==", ciphertext, tag),
       kPbeMalformed},
      {"nonce removed", text("<ORV>2", "", ciphertext, tag), kPbeMalformed},
      {"tag of 15 bytes", text("<ORV>2", nonce, ciphertext, "e1XnNa4kizcNWCGz0uBn"),
       kPbeMalformed},
      {"tag of 17 bytes", text("<ORV>2", nonce, ciphertext, "e1XnNa4kizcNWCGz0uBnawA="),
       kPbeMalformed},
      // Base64 that a lenient decoder would take.
      {"tag without padding", text("<ORV>2", nonce, ciphertext, "e1XnNa4kizcNWCGz0uBnaw"),
       kPbeMalformed},
      {"ciphertext without padding", text("<ORV>2", nonce, "+to+mRIhxwh4MzQL/BSqWDlJxSk", tag),
       kPbeMalformed},
      {"stray bits in the tag", text("<ORV>2", nonce, ciphertext, "e1XnNa4kizcNWCGz0uBnax=="),
       kPbeMalformed},
      {"stray bits in the ciphertext", text("<ORV>2", nonce, "+to+mRIhxwh4MzQL/BSqWDlJxSl=", tag),
       kPbeMalformed},
      {"extra padding", text("<ORV>2", nonce, ciphertext, "e1XnNa4kizcNWCGz0uBnaw===="),
       kPbeMalformed},
      {"padding inside", text("<ORV>2", nonce, "+to=mRIhxwh4MzQL/BSqWDlJxSk=", tag),
       kPbeMalformed},
      {"URL-safe alphabet", text("<ORV>2", nonce, "-to-mRIhxwh4MzQL_BSqWDlJxSk=", tag),
       kPbeMalformed},
      {"blank inside a field", text("<ORV>2", nonce, "+to+ mRIhxwh4MzQL/BSqWDlJxSk=", tag),
       kPbeMalformed},
      {"line break inside a field", text("<ORV>2", nonce, "+to+mRIhxwh4\nMzQL/BSqWDlJxSk=", tag),
       kPbeMalformed},
      {"line break at the end", std::string(kKnownText2) + "\n", kPbeMalformed},
      {"CR LF at the end", std::string(kKnownText2) + "\r\n", kPbeMalformed},
      {"blank at the end", std::string(kKnownText2) + " ", kPbeMalformed},
      {"comment character", std::string(kKnownText2) + "#", kPbeMalformed},
      {"NUL inside a field",
       text("<ORV>2", nonce, std::string("+to+mRIhxwh4MzQL/BSqWDlJxSk=").replace(4, 1, 1, '\0'),
            tag),
       kPbeMalformed},
  };
  for (const Case& c : cases) {
    std::string plaintext = "untouched";
    EXPECT_EQ(restore(&context2, c.text, &plaintext), c.expected) << c.what << ": " << c.text;
    EXPECT_EQ(plaintext, "untouched") << c.what;
  }
}

TEST_F(PbeTest, RestoreReadsExactlyTheGivenLength) {
  std::string padded = std::string(kKnownText2) + "trailing junk";
  char* plaintext = nullptr;
  int32_t length = 0;
  ASSERT_EQ(svcPbeRestore(&context2, padded.data(), static_cast<int32_t>(sizeof kKnownText2 - 1),
                          &plaintext, &length),
            0);
  EXPECT_EQ(std::string(plaintext, static_cast<size_t>(length)), kKnownPlaintext);
  svcPbeFreeBuf(plaintext, length);

  EXPECT_EQ(svcPbeRestore(&context2, kKnownText2, static_cast<int32_t>(sizeof kKnownText2 - 2),
                          &plaintext, &length),
            kPbeMalformed);
}

// Texts of this service that another context must not open.
TEST_F(PbeTest, ForeignContextsAreRefused) {
  std::string text2, text1;
  ASSERT_EQ(save(&context2, "credential", &text2), 0);
  ASSERT_EQ(save(&context1, "credential", &text1), 0);
  std::string relabelledTo1 = "<ORV>1" + text2.substr(6);
  std::string relabelledTo2 = "<ORV>2" + text1.substr(6);
  std::string relabelledMarker = kLongMarker + text2.substr(5);

  struct Case {
    const char* what;
    PbeContext* context;
    std::string text;
    int32_t expected;
  } cases[] = {
      {"another initial key", &otherKeyContext, text2, kPbeNotAuthentic},
      {"another salt", &otherSaltContext, text2, kPbeNotAuthentic},
      {"another marker", &longMarkerContext, text2, kPbeWrongMarker},
      {"another algorithm", &context1, text2, kPbeWrongAlgorithm},
      {"another algorithm", &context2, text1, kPbeWrongAlgorithm},
      // The marker and the digit are authenticated: relabelling does not
      // move a text into another context.
      {"digit relabelled to 1", &context1, relabelledTo1, kPbeNotAuthentic},
      {"digit relabelled to 2", &context2, relabelledTo2, kPbeNotAuthentic},
      {"marker relabelled", &longMarkerContext, relabelledMarker, kPbeNotAuthentic},
  };
  for (const Case& c : cases) {
    std::string plaintext;
    EXPECT_EQ(restore(c.context, c.text, &plaintext), c.expected) << c.what;
  }
}

TEST_F(PbeTest, OnlyInitialisedContextsWork) {
  std::string text, plaintext;
  ASSERT_EQ(save(&context2, "credential", &text), 0);

  PbeContext never = makeContext(2, kMarker, kKnownInitialKey, kKnownSalt);
  EXPECT_EQ(save(&never, "credential", &text), kPbeNotInitialised);
  EXPECT_EQ(restore(&never, text, &plaintext), kPbeNotInitialised);

  // Words that merely look used: the key of context2 without its tag word,
  // or its tag word naming an algorithm that does not exist.
  PbeContext untagged = context2;
  untagged.serviceWords[4] = 0;
  EXPECT_EQ(restore(&untagged, text, &plaintext), kPbeNotInitialised);
  PbeContext badAlgorithm = context2;
  badAlgorithm.serviceWords[4] += 1;
  EXPECT_EQ(restore(&badAlgorithm, text, &plaintext), kPbeNotInitialised);

  PbeContext copy = context2;
  ASSERT_EQ(restore(&copy, text, &plaintext), 0);
  EXPECT_EQ(svcPbeTerm(&copy), 0);
  EXPECT_TRUE(serviceWordsZero(copy));
  EXPECT_EQ(save(&copy, "credential", &text), kPbeNotInitialised);
  EXPECT_EQ(restore(&copy, text, &plaintext), kPbeNotInitialised);
  EXPECT_EQ(svcPbeTerm(&copy), 0);

  // Initialised again, the context reads what it wrote before.
  ASSERT_EQ(svcPbeInit(&copy), 0);
  ASSERT_EQ(restore(&copy, text, &plaintext), 0);
  EXPECT_EQ(plaintext, "credential");
  svcPbeTerm(&copy);

  EXPECT_EQ(svcPbeTerm(nullptr), kPbeBadArgument);
}

TEST_F(PbeTest, BadArgumentsAreRefused) {
  const char plaintext[] = "credential";
  char* out = reinterpret_cast<char*>(0x1);
  int32_t outLength = -1;
  struct SaveCase {
    const char* what;
    PbeContext* context;
    const char* plaintext;
    int32_t length;
    char** out;
    int32_t* outLength;
  } saveCases[] = {
      {"null context", nullptr, plaintext, 10, &out, &outLength},
      {"null plaintext", &context2, nullptr, 10, &out, &outLength},
      {"null text output", &context2, plaintext, 10, nullptr, &outLength},
      {"null length output", &context2, plaintext, 10, &out, nullptr},
      {"negative length", &context2, plaintext, -1, &out, &outLength},
      {"length over the limit", &context2, plaintext, kPbeMaxPlaintextBytes + 1, &out,
       &outLength},
  };
  for (const SaveCase& c : saveCases) {
    out = reinterpret_cast<char*>(0x1);
    outLength = -1;
    EXPECT_EQ(svcPbeSave(c.context, c.plaintext, c.length, c.out, c.outLength), kPbeBadArgument)
        << c.what;
    if (c.out != nullptr) {
      EXPECT_EQ(out, nullptr) << c.what;
    }
    if (c.outLength != nullptr) {
      EXPECT_EQ(outLength, 0) << c.what;
    }
  }

  struct RestoreCase {
    const char* what;
    PbeContext* context;
    const char* text;
    int32_t length;
    char** out;
    int32_t* outLength;
  } restoreCases[] = {
      {"null context", nullptr, kKnownText2, 10, &out, &outLength},
      {"null text", &context2, nullptr, 10, &out, &outLength},
      {"null plaintext output", &context2, kKnownText2, 10, nullptr, &outLength},
      {"null length output", &context2, kKnownText2, 10, &out, nullptr},
      {"negative length", &context2, kKnownText2, -1, &out, &outLength},
  };
  for (const RestoreCase& c : restoreCases) {
    out = reinterpret_cast<char*>(0x1);
    outLength = -1;
    EXPECT_EQ(svcPbeRestore(c.context, c.text, c.length, c.out, c.outLength), kPbeBadArgument)
        << c.what;
    if (c.out != nullptr) {
      EXPECT_EQ(out, nullptr) << c.what;
    }
    if (c.outLength != nullptr) {
      EXPECT_EQ(outLength, 0) << c.what;
    }
  }

  // The marker is read again on every call.
  PbeContext spoiled = context2;
  spoiled.marker = "bad marker";
  std::string text;
  EXPECT_EQ(save(&spoiled, "credential", &text), kPbeBadMarker);
  EXPECT_EQ(restore(&spoiled, kKnownText2, &text), kPbeBadMarker);

  EXPECT_EQ(svcPbeFreeBuf(nullptr, 0), 0);
}

TEST_F(PbeTest, InjectedSaveFailureIsReturned) {
  faultArm(FaultPlan{kFaultPbeSave, 1, false, -1, kPbeCryptoFailure});
  std::string text;
  EXPECT_EQ(save(&context2, "credential", &text), kPbeCryptoFailure);
  EXPECT_TRUE(faultFired());
  faultDisarm();
  EXPECT_EQ(save(&context2, "credential", &text), 0);
}

// Fails the Nth allocation for N = 1, 2, ... until a call completes: each
// failure must give kPbeNoMemory with a failure record and leak nothing.
void sweepAllocationFailures(const std::function<int32_t()>& call) {
  int failures = 0;
  for (uint64_t failAt = 1;; ++failAt) {
    SCOPED_TRACE("allocation " + std::to_string(failAt));
    clearObservations();
    int64_t blocksBefore = memoryBlocksOutstanding();
    faultArm(FaultPlan{kFaultAlloc, failAt, false, -1, 0});
    int32_t rc = call();
    bool fired = faultFired();
    faultDisarm();
    if (!fired) {
      EXPECT_EQ(rc, 0);
      break;
    }
    ++failures;
    EXPECT_EQ(rc, kPbeNoMemory);
    EXPECT_EQ(memoryBlocksOutstanding(), blocksBefore);
    ASSERT_EQ(failureRecords().size(), 1u);
    const FailureRecord& record = failureRecords()[0];
    EXPECT_EQ(record.sourceName, "platform/pbe");
    EXPECT_GE(record.probe, 400);
    EXPECT_LE(record.probe, 449);
    EXPECT_EQ(record.reason, kMemoryNoMemory);
    EXPECT_GT(record.line, 0);
    ASSERT_LT(failAt, 20u) << "the call never completes";
  }
  EXPECT_GE(failures, 2);
}

TEST_F(PbeTest, AllocationFailuresAreCleanInSaveAndRestore) {
  std::string text, plaintext;
  {
    SCOPED_TRACE("save");
    sweepAllocationFailures([&] { return save(&context2, kKnownPlaintext, &text); });
  }
  {
    SCOPED_TRACE("restore");
    sweepAllocationFailures([&] { return restore(&context2, kKnownText2, &plaintext); });
    EXPECT_EQ(plaintext, kKnownPlaintext);
  }
}

// The checks of svcPbeInit, which come before any derivation.
class PbeInitTest : public ::testing::Test {};

TEST_F(PbeInitTest, EachBadFieldHasItsCode) {
  const unsigned char key[] = "initial key";
  struct Case {
    const char* what;
    std::function<void(PbeContext*)> spoil;
    int32_t expected;
  } cases[] = {
      {"algorithm 0", [](PbeContext* c) { c->algorithm = 0; }, kPbeBadAlgorithm},
      {"algorithm 3", [](PbeContext* c) { c->algorithm = 3; }, kPbeBadAlgorithm},
      {"algorithm -1", [](PbeContext* c) { c->algorithm = -1; }, kPbeBadAlgorithm},
      {"no marker", [](PbeContext* c) { c->marker = nullptr; }, kPbeBadMarker},
      {"empty marker", [](PbeContext* c) { c->marker = ""; }, kPbeBadMarker},
      {"marker too long", [](PbeContext* c) { c->marker = "~<XYZ>|0123456789abc$%&'()*+,-./0"; },
       kPbeBadMarker},
      {"blank in marker", [](PbeContext* c) { c->marker = "<O RV>"; }, kPbeBadMarker},
      {"tab in marker", [](PbeContext* c) { c->marker = "<ORV>\t"; }, kPbeBadMarker},
      {"separator in marker", [](PbeContext* c) { c->marker = "<ORV!>"; }, kPbeBadMarker},
      {"comment character in marker", [](PbeContext* c) { c->marker = "#ORV"; }, kPbeBadMarker},
      {"DEL in marker", [](PbeContext* c) { c->marker = "<ORV>\x7F"; }, kPbeBadMarker},
      {"non-ASCII marker", [](PbeContext* c) { c->marker = "<\xC3\x96RV>"; }, kPbeBadMarker},
      {"no initial key", [](PbeContext* c) { c->initialKey = nullptr; }, kPbeBadInitialKey},
      {"empty initial key", [](PbeContext* c) { c->initialKeyLength = 0; }, kPbeBadInitialKey},
      {"negative key length", [](PbeContext* c) { c->initialKeyLength = -1; }, kPbeBadInitialKey},
      {"no salt", [](PbeContext* c) { c->salt = nullptr; }, kPbeBadSalt},
      {"empty salt", [](PbeContext* c) { c->saltLength = 0; }, kPbeBadSalt},
  };
  for (const Case& c : cases) {
    PbeContext context = makeContext(2, kMarker, reinterpret_cast<const char*>(key), kKnownSalt);
    c.spoil(&context);
    // A failed initialisation leaves no usable state behind, whatever was
    // there before.
    for (uint64_t& word : context.serviceWords) word = ~0ull;
    EXPECT_EQ(svcPbeInit(&context), c.expected) << c.what;
    EXPECT_TRUE(serviceWordsZero(context)) << c.what;
  }
  EXPECT_EQ(svcPbeInit(nullptr), kPbeBadArgument);
}

TEST_F(PbeInitTest, InjectedFailureIsReturned) {
  PbeContext context = makeContext(2, kMarker, kKnownInitialKey, kKnownSalt);
  faultArm(FaultPlan{kFaultPbeInit, 1, false, -1, 123});
  EXPECT_EQ(svcPbeInit(&context), 123);
  EXPECT_TRUE(faultFired());
  EXPECT_TRUE(serviceWordsZero(context));
  std::string text;
  EXPECT_EQ(save(&context, "credential", &text), kPbeNotInitialised);
}

class PbeKeyFileTest : public ::testing::Test {
 protected:
  void SetUp() override { blocksBefore_ = memoryBlocksOutstanding(); }
  void TearDown() override {
    pbeReleaseInitialKeys();
    EXPECT_EQ(memoryBlocksOutstanding(), blocksBefore_) << "blocks leaked";
  }

  int64_t blocksBefore_ = 0;
  ScratchDir scratch_;
};

// Reads a key file; on failure the outputs must be cleared.
int32_t readKeyFile(const std::string& path, std::string* key) {
  unsigned char* keyBytes = reinterpret_cast<unsigned char*>(0x1);
  int32_t keyLength = -1;
  int32_t rc = svcPbeReadInitialKeyFile(path.c_str(), &keyBytes, &keyLength);
  if (rc != 0) {
    EXPECT_EQ(keyBytes, nullptr);
    EXPECT_EQ(keyLength, 0);
    return rc;
  }
  EXPECT_NE(keyBytes, nullptr);
  key->assign(reinterpret_cast<const char*>(keyBytes), static_cast<size_t>(keyLength));
  return rc;
}

TEST_F(PbeKeyFileTest, KeyIsTheContentLessOneLineEnd) {
  const std::string longest(kPbeMaxInitialKeyFileBytes, 'k');
  struct Case {
    const char* what;
    std::string content;
    int32_t expected;
    std::string key;
  } cases[] = {
      {"no line end", "key", 0, "key"},
      {"line feed", "key\n", 0, "key"},
      {"carriage return and line feed", "key\r\n", 0, "key"},
      {"only one line feed", "key\n\n", 0, "key\n"},
      {"only one CR LF", "key\r\n\r\n", 0, "key\r\n"},
      {"lone carriage return kept", "key\r", 0, "key\r"},
      {"line feed then carriage return kept", "key\n\r", 0, "key\n\r"},
      {"blanks kept", " key \t", 0, " key \t"},
      {"binary bytes", std::string("\0\x1A\r\n\xFF\x80 k\r\x1A", 10), 0,
       std::string("\0\x1A\r\n\xFF\x80 k\r\x1A", 10)},
      {"empty", "", kPbeKeyFileEmpty, ""},
      {"line feed only", "\n", kPbeKeyFileEmpty, ""},
      {"CR LF only", "\r\n", kPbeKeyFileEmpty, ""},
      {"longest key", longest, 0, longest},
      {"longest file with a line feed", longest.substr(1) + "\n", 0, longest.substr(1)},
      {"one byte too many", longest + "k", kPbeKeyFileTooLarge, ""},
      {"too many with a line feed", longest + "\n", kPbeKeyFileTooLarge, ""},
      {"far too many", std::string(100000, 'k'), kPbeKeyFileTooLarge, ""},
  };
  int index = 0;
  for (const Case& c : cases) {
    std::string path = scratch_.write("key" + std::to_string(index++), c.content);
    std::string key;
    EXPECT_EQ(readKeyFile(path, &key), c.expected) << c.what;
    EXPECT_TRUE(key == c.key) << c.what;
  }
}

TEST_F(PbeKeyFileTest, UnreadableFilesAreRefused) {
  std::string key;
  EXPECT_EQ(readKeyFile(scratch_.file("missing"), &key), kPbeKeyFileUnreadable);
  EXPECT_EQ(readKeyFile(scratch_.path(), &key), kPbeKeyFileUnreadable) << "a directory";

  std::string path = scratch_.write("key", "key\n");
  for (FaultSite site : {kFaultOpen, kFaultRead}) {
    faultArm(FaultPlan{site, 1, false, -1, 0});
    EXPECT_EQ(readKeyFile(path, &key), kPbeKeyFileUnreadable) << "site " << site;
    EXPECT_TRUE(faultFired()) << "site " << site;
    faultDisarm();
  }
  ASSERT_EQ(readKeyFile(path, &key), 0);
  EXPECT_EQ(key, "key");

  unsigned char* keyBytes = nullptr;
  int32_t keyLength = 0;
  EXPECT_EQ(svcPbeReadInitialKeyFile(nullptr, &keyBytes, &keyLength), kPbeBadArgument);
  EXPECT_EQ(svcPbeReadInitialKeyFile(path.c_str(), nullptr, &keyLength), kPbeBadArgument);
  EXPECT_EQ(svcPbeReadInitialKeyFile(path.c_str(), &keyBytes, nullptr), kPbeBadArgument);
}

TEST_F(PbeKeyFileTest, AllocationFailureIsClean) {
  std::string path = scratch_.write("key", "key\r\n");
  std::string key;
  clearObservations();
  faultArm(FaultPlan{kFaultAlloc, 1, false, -1, 0});
  EXPECT_EQ(readKeyFile(path, &key), kPbeNoMemory);
  ASSERT_TRUE(faultFired());
  faultDisarm();
  EXPECT_EQ(memoryBlocksOutstanding(), blocksBefore_);
  ASSERT_EQ(failureRecords().size(), 1u);
  EXPECT_EQ(failureRecords()[0].sourceName, "platform/pbe");
  EXPECT_EQ(failureRecords()[0].reason, kMemoryNoMemory);
  ASSERT_EQ(readKeyFile(path, &key), 0);
  EXPECT_EQ(key, "key");
}

TEST_F(PbeKeyFileTest, KeysLiveUntilReleased) {
  std::string path = scratch_.write("key", std::string(kKnownInitialKey) + "\n");
  unsigned char* keys[3] = {};
  int32_t lengths[3] = {};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(svcPbeReadInitialKeyFile(path.c_str(), &keys[i], &lengths[i]), 0);
  }
  EXPECT_EQ(memoryBlocksOutstanding(), blocksBefore_ + 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(std::string(reinterpret_cast<char*>(keys[i]), static_cast<size_t>(lengths[i])),
              kKnownInitialKey);
  }
  // A key buffer is not a result of svcPbeSave: it stays until released.
  EXPECT_EQ(svcPbeFreeBuf(reinterpret_cast<char*>(keys[0]), lengths[0]), kPbeBadArgument);
  EXPECT_EQ(memoryBlocksOutstanding(), blocksBefore_ + 3);

  pbeReleaseInitialKeys();
  EXPECT_EQ(memoryBlocksOutstanding(), blocksBefore_);
  pbeReleaseInitialKeys();
  EXPECT_EQ(memoryBlocksOutstanding(), blocksBefore_);
}

}  // namespace

namespace {

// The iteration count for tests changes the master key, and 0 brings back
// the real count: the known answers hold again.
TEST(PbeIterationsTest, TestCountChangesTheKeyAndZeroRestoresIt) {
  pbeSetIterationsForTesting(1000);
  PbeContext fewer = makeContext(2, kMarker, kKnownInitialKey, kKnownSalt);
  ASSERT_EQ(svcPbeInit(&fewer), 0);
  pbeSetIterationsForTesting(0);
  PbeContext real = makeContext(2, kMarker, kKnownInitialKey, kKnownSalt);
  ASSERT_EQ(svcPbeInit(&real), 0);
  for (PbeContext* context : {&fewer, &real}) {
    char* plain = nullptr;
    int32_t plainLength = 0;
    int32_t rc = svcPbeRestore(context, kKnownText2, static_cast<int32_t>(sizeof kKnownText2 - 1),
                               &plain, &plainLength);
    EXPECT_EQ(rc, context == &real ? 0 : kPbeNotAuthentic);
    svcPbeFreeBuf(plain, plainLength);
    svcPbeTerm(context);
  }
}

}  // namespace
