#include "platform/pbe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <functional>
#include <set>
#include <sstream>
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
  return std::all_of(std::begin(context.serviceWords), std::end(context.serviceWords),
                     [](uint64_t word) { return word == 0; });
}

// A service call that hands out a NUL-terminated buffer, into a string. The
// buffer goes back through svcPbeFreeBuf; on failure both outputs must be
// cleared.
using PbeCall = int32_t (*)(PbeContext*, const char*, int32_t, char**, int32_t*);
int32_t call(PbeCall service, PbeContext* context, const std::string& in, std::string* out) {
  char* buffer = reinterpret_cast<char*>(0x1);
  int32_t length = -1;
  int32_t rc = service(context, in.data(), static_cast<int32_t>(in.size()), &buffer, &length);
  if (rc != 0) {
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(length, 0);
    return rc;
  }
  EXPECT_EQ(buffer[length], '\0');
  out->assign(buffer, static_cast<size_t>(length));
  EXPECT_EQ(svcPbeFreeBuf(buffer, length), 0);
  return rc;
}
int32_t save(PbeContext* c, const std::string& in, std::string* out) {
  return call(svcPbeSave, c, in, out);
}
int32_t restore(PbeContext* c, const std::string& in, std::string* out) {
  return call(svcPbeRestore, c, in, out);
}

// The fields of a protected text, split at '!'.
std::vector<std::string> splitFields(const std::string& text) {
  std::vector<std::string> fields;
  std::istringstream in(text);
  for (std::string field; std::getline(in, field, '!');) fields.push_back(field);
  return fields;
}

// Contexts are initialised once for the suite: each derivation takes
// 600,000 PBKDF2 iterations.
class PbeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    context1 = makeContext(1, kMarker, kKnownInitialKey, kKnownSalt);
    context2 = makeContext(2, kMarker, kKnownInitialKey, kKnownSalt);
    longMarkerContext = makeContext(2, kLongMarker, kKnownInitialKey, kKnownSalt);
    for (PbeContext* context : {&context1, &context2, &longMarkerContext}) {
      ASSERT_EQ(svcPbeInit(context), 0);
    }
  }
  static void TearDownTestSuite() {
    for (PbeContext* context : {&context1, &context2, &longMarkerContext}) svcPbeTerm(context);
  }
  void TearDown() override { pbeSetNonceForTesting(nullptr); }

  static PbeContext context1, context2, longMarkerContext;
};

PbeContext PbeTest::context1, PbeTest::context2, PbeTest::longMarkerContext;

TEST_F(PbeTest, KnownAnswers) {
  struct Case { PbeContext* context; std::string plaintext; std::string expected; } cases[] = {
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

// Every byte comes back, the text is printable without blanks or '#', and
// every save takes a fresh nonce.
TEST_F(PbeTest, RoundTripsKeepEveryByteUnderFreshNonces) {
  std::string allBytes;
  for (int i = 0; i < 256; ++i) allBytes += static_cast<char>(i);
  std::string large(1024 * 1024 + 1, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7919 >> 3);
  const std::vector<std::string> plaintexts = {"", std::string("nul\0inside", 10), allBytes, large};
  std::set<std::string> nonces;
  for (PbeContext* context : {&context1, &context2, &longMarkerContext}) {
    for (const std::string& plaintext : plaintexts) {
      SCOPED_TRACE(std::string(context->marker) + ", " + std::to_string(plaintext.size()));
      std::string text;
      ASSERT_EQ(save(context, plaintext, &text), 0);
      std::vector<std::string> fields = splitFields(text);
      ASSERT_EQ(fields.size(), 4u);
      EXPECT_EQ(fields[0], context->marker + std::to_string(context->algorithm));
      EXPECT_EQ(fields[2].size(), (plaintext.size() + 2) / 3 * 4);
      nonces.insert(fields[1]);
      for (char c : text) ASSERT_TRUE(c > ' ' && c < '\x7F' && c != '#') << static_cast<int>(c);
      std::string restored;
      ASSERT_EQ(restore(context, text, &restored), 0);
      EXPECT_TRUE(restored == plaintext);
    }
  }
  EXPECT_EQ(nonces.size(), 12u);
}

// Variants of the known text of algorithm 2 that must be refused, each with
// its code, the plaintext output untouched.
TEST_F(PbeTest, AlteredTextsAreRefused) {
  const std::string nonce = "AAECAwQFBgcICQoL";
  const std::string ciphertext = "+to+mRIhxwh4MzQL/BSqWDlJxSk=";
  const std::string tag = "e1XnNa4kizcNWCGz0uBnaw==";
  auto text = [](const std::string& head, const std::string& n, const std::string& c,
                 const std::string& t) { return head + "!" + n + "!" + c + "!" + t; };
  ASSERT_EQ(text("<ORV>2", nonce, ciphertext, tag), kKnownText2);
  struct Case { const char* what; std::string text; int32_t expected; } cases[] = {
      {"nonce changed", text("<ORV>2", "BAECAwQFBgcICQoL", ciphertext, tag), kPbeNotAuthentic},
      {"last ciphertext byte changed", text("<ORV>2", nonce, "+to+mRIhxwh4MzQL/BSqWDlJxSo=", tag),
       kPbeNotAuthentic},
      {"tag changed", text("<ORV>2", nonce, ciphertext, "f1XnNa4kizcNWCGz0uBnaw=="),
       kPbeNotAuthentic},
      {"marker in lower case", text("<orv>2", nonce, ciphertext, tag), kPbeWrongMarker},
      {"other algorithm", text("<ORV>1", nonce, ciphertext, tag), kPbeWrongAlgorithm},
      {"tag truncated", std::string(kKnownText2).substr(0, sizeof kKnownText2 - 2), kPbeMalformed},
      {"stray bits in the tag", text("<ORV>2", nonce, ciphertext, "e1XnNa4kizcNWCGz0uBnax=="),
       kPbeMalformed},
  };
  for (const Case& c : cases) {
    std::string plaintext = "untouched";
    EXPECT_EQ(restore(&context2, c.text, &plaintext), c.expected) << c.what << ": " << c.text;
    EXPECT_EQ(plaintext, "untouched") << c.what;
  }
}

// The marker and the digit are authenticated: relabelling does not move a
// text to another context. (Another key or salt fails the known answers.)
TEST_F(PbeTest, ForeignContextsAreRefused) {
  std::string text2, text1;
  ASSERT_EQ(save(&context2, "credential", &text2), 0);
  ASSERT_EQ(save(&context1, "credential", &text1), 0);
  std::string plaintext;
  EXPECT_EQ(restore(&context1, "<ORV>1" + text2.substr(6), &plaintext), kPbeNotAuthentic);
  EXPECT_EQ(restore(&context2, "<ORV>2" + text1.substr(6), &plaintext), kPbeNotAuthentic);
  EXPECT_EQ(restore(&longMarkerContext, kLongMarker + text2.substr(5), &plaintext),
            kPbeNotAuthentic);
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
    EXPECT_EQ(failureRecords()[0].sourceName, "platform/pbe");
    EXPECT_EQ(failureRecords()[0].reason, kMemoryNoMemory);
    ASSERT_LT(failAt, 20u) << "the call never completes";
  }
  EXPECT_GE(failures, 2);
}

TEST_F(PbeTest, FailuresAreCleanInSaveAndRestore) {
  std::string text, plaintext;
  sweepAllocationFailures([&] { return save(&context2, kKnownPlaintext, &text); });
  sweepAllocationFailures([&] { return restore(&context2, kKnownText2, &plaintext); });
  EXPECT_EQ(plaintext, kKnownPlaintext);
  faultArm(FaultPlan{kFaultPbeSave, 1, false, -1, kPbeCryptoFailure});
  EXPECT_EQ(save(&context2, "credential", &text), kPbeCryptoFailure);
}

// The checks of svcPbeInit, which come before any derivation; a failed
// initialisation leaves no usable state behind.
TEST(PbeInitTest, EachBadFieldHasItsCode) {
  struct Case {
    const char* what;
    std::function<void(PbeContext*)> spoil;
    int32_t expected;
  } cases[] = {
      {"algorithm 3", [](PbeContext* c) { c->algorithm = 3; }, kPbeBadAlgorithm},
      {"no marker", [](PbeContext* c) { c->marker = nullptr; }, kPbeBadMarker},
      {"marker too long", [](PbeContext* c) { c->marker = "~<XYZ>|0123456789abc$%&'()*+,-./0"; },
       kPbeBadMarker},
      {"separator in marker", [](PbeContext* c) { c->marker = "<ORV!>"; }, kPbeBadMarker},
      {"empty initial key", [](PbeContext* c) { c->initialKeyLength = 0; }, kPbeBadInitialKey},
  };
  for (const Case& c : cases) {
    PbeContext context = makeContext(2, kMarker, kKnownInitialKey, kKnownSalt);
    c.spoil(&context);
    for (uint64_t& word : context.serviceWords) word = ~0ull;
    EXPECT_EQ(svcPbeInit(&context), c.expected) << c.what;
    EXPECT_TRUE(serviceWordsZero(context)) << c.what;
  }
  PbeContext context = makeContext(2, kMarker, kKnownInitialKey, kKnownSalt);
  faultArm(FaultPlan{kFaultPbeInit, 1, false, -1, 123});
  EXPECT_EQ(svcPbeInit(&context), 123);
  EXPECT_TRUE(serviceWordsZero(context));
}

class PbeKeyFileTest : public ::testing::Test {
 protected:
  void TearDown() override { pbeReleaseInitialKeys(); }

  // Reads a key file; on failure the outputs must be cleared.
  static int32_t readKeyFile(const std::string& path, std::string* key) {
    unsigned char* keyBytes = reinterpret_cast<unsigned char*>(0x1);
    int32_t keyLength = -1;
    int32_t rc = svcPbeReadInitialKeyFile(path.c_str(), &keyBytes, &keyLength);
    EXPECT_TRUE(rc == 0 || (keyBytes == nullptr && keyLength == 0));
    key->assign(rc == 0 ? reinterpret_cast<const char*>(keyBytes) : "", rc == 0 ? keyLength : 0);
    return rc;
  }

  ScratchDir scratch_;
};

TEST_F(PbeKeyFileTest, KeyIsTheContentLessOneLineEnd) {
  const std::string longest(kPbeMaxInitialKeyFileBytes, 'k');
  struct Case { std::string content; int32_t expected; std::string key; } cases[] = {
      {"key", 0, "key"},
      {"key\r\n", 0, "key"},
      {"key\n\n", 0, "key\n"},
      {"key\r", 0, "key\r"},
      {"\n", kPbeKeyFileEmpty, ""},
      {longest, 0, longest},
      {longest + "\n", kPbeKeyFileTooLarge, ""},
  };
  for (const Case& c : cases) {
    std::string key;
    EXPECT_EQ(readKeyFile(scratch_.write("key", c.content), &key), c.expected) << c.content;
    EXPECT_TRUE(key == c.key) << c.content;
  }
}

}  // namespace
