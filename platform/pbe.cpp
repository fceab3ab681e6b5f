// The PBE service over its crypto backend (platform/pbe_crypto.h): context
// checks, the protected-text format and the initial key files. Nothing here
// depends on the operating system.

#include "platform/pbe.h"

#include <cerrno>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/files.h"
#include "platform/key_file.h"
#include "platform/memory.h"
#include "platform/pbe_crypto.h"
#include "platform/runtime.h"
#include "platform/seams.h"

namespace {

constexpr char kSourceName[] = "platform/pbe";

constexpr int32_t kProbeSaveCiphertext = 400;
constexpr int32_t kProbeSaveText = 401;
constexpr int32_t kProbeRestoreCiphertext = 402;
constexpr int32_t kProbeRestorePlaintext = 403;
constexpr int32_t kProbeInitialKey = 404;

// The service words: the master key in words 0 to 3 (algorithm 1 uses the
// first 16 bytes), then a tag word of "ORVPBE" and the algorithm, so that a
// zero-filled or wiped context is never taken for an initialised one.
constexpr int kTagWord = 4;
constexpr uint64_t kStateTag = 0x4F52565042450000u;
constexpr uint64_t kStateTagMask = 0xFFFFFFFFFFFF0000u;
constexpr int32_t kMaxMasterKeyBytes = 32;
static_assert(kMaxMasterKeyBytes <= kTagWord * static_cast<int32_t>(sizeof(uint64_t)),
              "the master key fits the service words before the tag word");

constexpr char kSeparator = '!';
constexpr int32_t kNonceTextLength = pbeBase64Length(kPbeNonceBytes);
constexpr int32_t kTagTextLength = pbeBase64Length(kPbeTagBytes);
constexpr int32_t kMaxCiphertextTextLength = pbeBase64Length(kPbeMaxPlaintextBytes);
// marker, digit, three separators, the three fields
constexpr int64_t kMaxProtectedLength =
    kPbeMaxMarkerLength + 1 + 3 + kNonceTextLength + kMaxCiphertextTextLength + kTagTextLength;
static_assert(kMaxProtectedLength < INT32_MAX, "protected lengths fit a signed 32-bit count");

int32_t masterKeyBytes(int32_t algorithm) { return algorithm == 1 ? 16 : 32; }

unsigned char* masterKey(PbeContext* context) {
  return reinterpret_cast<unsigned char*>(context->serviceWords);
}

void wipeServiceWords(PbeContext* context) {
  osSecureWipe(context->serviceWords, sizeof context->serviceWords);
}

// The algorithm of an initialised context, else 0.
// Contexts initialised and not yet terminated, for tests that check that
// every master key is wiped in the end.
std::atomic<int64_t> liveContexts{0};

int32_t initialisedAlgorithm(const PbeContext* context) {
  uint64_t tagWord = context->serviceWords[kTagWord];
  if ((tagWord & kStateTagMask) != kStateTag) return 0;
  auto algorithm = static_cast<int32_t>(tagWord & ~kStateTagMask);
  return algorithm == 1 || algorithm == 2 ? algorithm : 0;
}

// Printable ASCII other than space, and neither the field separator nor
// the configuration file's comment character.
bool isMarkerCharacter(char c) {
  return c > ' ' && c < '\x7F' && c != kSeparator && c != '#';
}

// The marker's length, or -1 when it is missing, empty, too long or holds a
// character other than isMarkerCharacter.
int32_t checkedMarkerLength(const char* marker) {
  if (marker == nullptr) return -1;
  int32_t length = 0;
  while (marker[length] != '\0') {
    if (length == kPbeMaxMarkerLength || !isMarkerCharacter(marker[length])) return -1;
    ++length;
  }
  return length == 0 ? -1 : length;
}

char algorithmDigit(int32_t algorithm) { return static_cast<char>('0' + algorithm); }

// Every buffer that the service hands out is preceded by this header, so
// that it is wiped whole on release whatever length the caller passes back,
// and so that a pointer of the wrong kind is refused instead of freed.
enum class BufferKind : uint64_t {
  kWork = 0x4F5256576F726B00u,
  kResult = 0x4F52565265737500u,
  kInitialKey = 0x4F5256496B657900u,
};

struct alignas(16) BufferHeader {
  BufferHeader* next;  // the initial-key registry
  uint64_t blockSize;  // header included
  BufferKind kind;
  uint64_t reserved;  // fills the header to its alignment
};
static_assert(sizeof(BufferHeader) == 32, "payloads keep the block's alignment");

BufferHeader* headerOf(void* payload) {
  return reinterpret_cast<BufferHeader*>(static_cast<unsigned char*>(payload) -
                                         sizeof(BufferHeader));
}

void wipeAndFreeBlock(BufferHeader* header) {
  osSecureWipe(header, static_cast<size_t>(header->blockSize));
  svcFreeMem(0, kMemoryComponent, 0, header);
}

// A service buffer that is wiped and released when it goes out of scope,
// unless release() hands it to the caller.
class ServiceBuffer {
 public:
  ServiceBuffer() = default;
  ~ServiceBuffer() {
    if (payload_ != nullptr) wipeAndFreeBlock(headerOf(payload_));
  }
  ServiceBuffer(const ServiceBuffer&) = delete;
  ServiceBuffer& operator=(const ServiceBuffer&) = delete;

  // 0, or kPbeNoMemory after a failure record that names `line`.
  int32_t allocate(int32_t probe, int32_t line, uint64_t payloadSize, BufferKind kind) {
    uint64_t blockSize = sizeof(BufferHeader) + payloadSize;
    void* block = obtainOrRecord(probe, blockSize, kSourceName, line, probe);
    if (block == nullptr) return kPbeNoMemory;
    auto* header = static_cast<BufferHeader*>(block);
    header->next = nullptr;
    header->blockSize = blockSize;
    header->kind = kind;
    header->reserved = 0;
    payload_ = static_cast<unsigned char*>(block) + sizeof(BufferHeader);
    return 0;
  }

  unsigned char* bytes() const { return payload_; }
  char* chars() const { return reinterpret_cast<char*>(payload_); }

  unsigned char* release() {
    unsigned char* payload = payload_;
    payload_ = nullptr;
    return payload;
  }

 private:
  unsigned char* payload_ = nullptr;
};

// Wipes a buffer on the stack when it goes out of scope.
class WipeOnExit {
 public:
  WipeOnExit(void* data, size_t size) : data_(data), size_(size) {}
  ~WipeOnExit() { osSecureWipe(data_, size_); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

 private:
  void* data_;
  size_t size_;
};

int32_t iterationsInUse = kPbeIterations;

bool testNonceSet = false;
unsigned char testNonce[kPbeNonceBytes];

int32_t takeNonce(unsigned char* nonce) {
  if (testNonceSet) {
    std::memcpy(nonce, testNonce, sizeof testNonce);
    return 0;
  }
  return pbeCryptoRandom(nonce, kPbeNonceBytes);
}

// Writes the base64 of `length` bytes at `text` and sets *end after it; an
// empty field stays empty.
int32_t appendBase64(const unsigned char* data, int32_t length, char* text, char** end) {
  *end = text;
  if (length == 0) return 0;
  int32_t rc = pbeCryptoBase64Encode(data, length, text);
  if (rc != 0) return rc;
  *end = text + pbeBase64Length(length);
  return 0;
}

// Decodes one field into `data` (room for field length / 4 * 3 bytes) and
// accepts it only when re-encoding gives the field back, so that both
// backends accept exactly the canonical texts. The re-encoding goes in
// slices of whole groups, which encode independently, to need no buffer as
// large as the field.
int32_t decodeCanonical(const char* field, int32_t fieldLength, unsigned char* data,
                        int32_t* dataLengthOut) {
  *dataLengthOut = 0;
  if (fieldLength == 0) return 0;
  if (fieldLength % 4 != 0) return kPbeMalformed;
  int32_t dataLength = 0;
  if (pbeCryptoBase64Decode(field, fieldLength, data, &dataLength) != 0) return kPbeMalformed;
  if (dataLength <= 0 || pbeBase64Length(dataLength) != fieldLength) return kPbeMalformed;

  constexpr int32_t kSliceBytes = 3 * 1024;
  char encoded[pbeBase64Length(kSliceBytes) + 1];
  for (int32_t offset = 0; offset < dataLength; offset += kSliceBytes) {
    int32_t sliceLength = dataLength - offset < kSliceBytes ? dataLength - offset : kSliceBytes;
    if (pbeCryptoBase64Encode(data + offset, sliceLength, encoded) != 0) return kPbeMalformed;
    if (std::memcmp(encoded, field + offset / 3 * 4, pbeBase64Length(sliceLength)) != 0) {
      return kPbeMalformed;
    }
  }
  *dataLengthOut = dataLength;
  return 0;
}

// Decodes a field of fixed decoded size.
int32_t decodeFixedField(const char* field, int32_t fieldLength, unsigned char* data,
                         int32_t expectedLength) {
  if (fieldLength != pbeBase64Length(expectedLength)) return kPbeMalformed;
  int32_t dataLength = 0;
  int32_t rc = decodeCanonical(field, fieldLength, data, &dataLength);
  if (rc != 0) return rc;
  return dataLength == expectedLength ? 0 : kPbeMalformed;
}

// The marker followed by the algorithm digit: the additional authenticated
// data, and the head of every protected text.
struct TextHead {
  char text[kPbeMaxMarkerLength + 1];
  int32_t length;
};

TextHead makeHead(const char* marker, int32_t markerLength, int32_t algorithm) {
  TextHead head{};
  std::memcpy(head.text, marker, static_cast<size_t>(markerLength));
  head.text[markerLength] = algorithmDigit(algorithm);
  head.length = markerLength + 1;
  return head;
}

const unsigned char* asBytes(const char* text) {
  return reinterpret_cast<const unsigned char*>(text);
}

std::mutex initialKeysMutex;
BufferHeader* initialKeys = nullptr;

}  // namespace

int32_t svcPbeInit(PbeContext* context) {
  int32_t injected = 0;
  // An injected failure is always a failure, whatever code the plan names.
  if (seamFailsCall(kFaultPbeInit, -1, &injected)) return injected != 0 ? injected : kPbeCryptoFailure;
  if (context == nullptr) return kPbeBadArgument;
  if (initialisedAlgorithm(context) != 0) --liveContexts;
  wipeServiceWords(context);

  if (context->algorithm != 1 && context->algorithm != 2) return kPbeBadAlgorithm;
  if (checkedMarkerLength(context->marker) < 0) return kPbeBadMarker;
  if (context->initialKey == nullptr || context->initialKeyLength <= 0) return kPbeBadInitialKey;
  if (context->salt == nullptr || context->saltLength == 0 ||
      context->saltLength > static_cast<uint32_t>(INT32_MAX)) {
    return kPbeBadSalt;
  }

  int32_t rc = pbeCryptoDeriveKey(context->initialKey, context->initialKeyLength, context->salt,
                                  static_cast<int32_t>(context->saltLength), iterationsInUse,
                                  masterKey(context), masterKeyBytes(context->algorithm));
  if (rc != 0) {
    wipeServiceWords(context);
    return rc;
  }
  context->serviceWords[kTagWord] = kStateTag | static_cast<uint64_t>(context->algorithm);
  ++liveContexts;
  return 0;
}

int32_t svcPbeSave(PbeContext* context, const char* plaintext, int32_t length,
                   char** protectedOut, int32_t* protectedLengthOut) {
  if (protectedOut != nullptr) *protectedOut = nullptr;
  if (protectedLengthOut != nullptr) *protectedLengthOut = 0;
  int32_t injected = 0;
  if (seamFailsCall(kFaultPbeSave, -1, &injected)) return injected != 0 ? injected : kPbeCryptoFailure;
  if (context == nullptr || plaintext == nullptr || protectedOut == nullptr ||
      protectedLengthOut == nullptr || length < 0 || length > kPbeMaxPlaintextBytes) {
    return kPbeBadArgument;
  }
  int32_t algorithm = initialisedAlgorithm(context);
  if (algorithm == 0) return kPbeNotInitialised;
  int32_t markerLength = checkedMarkerLength(context->marker);
  if (markerLength < 0) return kPbeBadMarker;
  TextHead head = makeHead(context->marker, markerLength, algorithm);

  unsigned char nonce[kPbeNonceBytes];
  int32_t rc = takeNonce(nonce);
  if (rc != 0) return rc;

  ServiceBuffer ciphertext;
  rc = ciphertext.allocate(kProbeSaveCiphertext, __LINE__, static_cast<uint64_t>(length),
                           BufferKind::kWork);
  if (rc != 0) return rc;
  unsigned char tag[kPbeTagBytes];
  rc = pbeCryptoEncrypt(masterKey(context), masterKeyBytes(algorithm), nonce, asBytes(head.text),
                        head.length, asBytes(plaintext), length, ciphertext.bytes(), tag);
  if (rc != 0) return rc;

  int32_t textLength =
      head.length + 3 + kNonceTextLength + pbeBase64Length(length) + kTagTextLength;
  ServiceBuffer text;
  rc = text.allocate(kProbeSaveText, __LINE__, static_cast<uint64_t>(textLength) + 1,
                     BufferKind::kResult);
  if (rc != 0) return rc;

  char* cursor = text.chars();
  std::memcpy(cursor, head.text, static_cast<size_t>(head.length));
  cursor += head.length;
  *cursor++ = kSeparator;
  rc = appendBase64(nonce, kPbeNonceBytes, cursor, &cursor);
  if (rc != 0) return rc;
  *cursor++ = kSeparator;
  rc = appendBase64(ciphertext.bytes(), length, cursor, &cursor);
  if (rc != 0) return rc;
  *cursor++ = kSeparator;
  rc = appendBase64(tag, kPbeTagBytes, cursor, &cursor);
  if (rc != 0) return rc;
  *cursor = '\0';

  *protectedOut = reinterpret_cast<char*>(text.release());
  *protectedLengthOut = textLength;
  return 0;
}

int32_t svcPbeRestore(PbeContext* context, const char* text, int32_t length,
                      char** plaintextOut, int32_t* plaintextLengthOut) {
  if (plaintextOut != nullptr) *plaintextOut = nullptr;
  if (plaintextLengthOut != nullptr) *plaintextLengthOut = 0;
  if (context == nullptr || text == nullptr || plaintextOut == nullptr ||
      plaintextLengthOut == nullptr || length < 0) {
    return kPbeBadArgument;
  }
  int32_t algorithm = initialisedAlgorithm(context);
  if (algorithm == 0) return kPbeNotInitialised;
  int32_t markerLength = checkedMarkerLength(context->marker);
  if (markerLength < 0) return kPbeBadMarker;

  // The form first: <marker><digit>!<nonce>!<ciphertext>!<tag>, exactly
  // three separators, every field canonical base64. Only a text of that
  // form is said to belong to another marker or algorithm.
  int32_t separators[3];
  int32_t separatorCount = 0;
  for (int32_t i = 0; i < length; ++i) {
    if (text[i] != kSeparator) continue;
    if (separatorCount == 3) return kPbeMalformed;
    separators[separatorCount++] = i;
  }
  if (separatorCount != 3) return kPbeMalformed;

  int32_t headLength = separators[0];
  if (headLength < 2 || headLength - 1 > kPbeMaxMarkerLength) return kPbeMalformed;
  for (int32_t i = 0; i < headLength - 1; ++i) {
    if (!isMarkerCharacter(text[i])) return kPbeMalformed;
  }
  char digit = text[headLength - 1];
  if (digit != algorithmDigit(1) && digit != algorithmDigit(2)) return kPbeMalformed;

  const char* nonceField = text + separators[0] + 1;
  const char* ciphertextField = text + separators[1] + 1;
  const char* tagField = text + separators[2] + 1;
  int32_t ciphertextFieldLength = separators[2] - separators[1] - 1;

  unsigned char nonce[kNonceTextLength / 4 * 3];
  int32_t rc = decodeFixedField(nonceField, separators[1] - separators[0] - 1, nonce,
                                kPbeNonceBytes);
  if (rc != 0) return rc;
  unsigned char tag[kTagTextLength / 4 * 3];
  rc = decodeFixedField(tagField, length - separators[2] - 1, tag, kPbeTagBytes);
  if (rc != 0) return rc;
  if (ciphertextFieldLength > kMaxCiphertextTextLength) return kPbeMalformed;

  ServiceBuffer ciphertext;
  rc = ciphertext.allocate(kProbeRestoreCiphertext, __LINE__,
                           static_cast<uint64_t>(ciphertextFieldLength) / 4 * 3,
                           BufferKind::kWork);
  if (rc != 0) return rc;
  int32_t ciphertextLength = 0;
  rc = decodeCanonical(ciphertextField, ciphertextFieldLength, ciphertext.bytes(),
                       &ciphertextLength);
  if (rc != 0) return rc;

  TextHead head = makeHead(context->marker, markerLength, algorithm);
  if (headLength != head.length ||
      std::memcmp(text, head.text, static_cast<size_t>(markerLength)) != 0) {
    return kPbeWrongMarker;
  }
  if (digit != algorithmDigit(algorithm)) return kPbeWrongAlgorithm;

  ServiceBuffer plaintext;
  rc = plaintext.allocate(kProbeRestorePlaintext, __LINE__,
                          static_cast<uint64_t>(ciphertextLength) + 1, BufferKind::kResult);
  if (rc != 0) return rc;
  // A failed decryption leaves unauthenticated bytes, which the buffer's
  // destructor wipes.
  rc = pbeCryptoDecrypt(masterKey(context), masterKeyBytes(algorithm), nonce, asBytes(head.text),
                        head.length, ciphertext.bytes(), ciphertextLength, tag, plaintext.bytes());
  if (rc != 0) return rc;
  plaintext.bytes()[ciphertextLength] = '\0';

  *plaintextOut = reinterpret_cast<char*>(plaintext.release());
  *plaintextLengthOut = ciphertextLength;
  return 0;
}

int32_t svcPbeFreeBuf(char* buffer, int32_t /*length*/) {
  if (buffer == nullptr) return 0;
  BufferHeader* header = headerOf(buffer);
  if (header->kind != BufferKind::kResult) return kPbeBadArgument;
  wipeAndFreeBlock(header);
  return 0;
}

int32_t svcPbeTerm(PbeContext* context) {
  if (context == nullptr) return kPbeBadArgument;
  if (initialisedAlgorithm(context) != 0) --liveContexts;
  wipeServiceWords(context);
  return 0;
}

int64_t pbeLiveContexts() { return liveContexts; }

int32_t svcPbeReadInitialKeyFile(const char* path, unsigned char** keyOut,
                                 int32_t* keyLengthOut) {
  KeyFileRead read;
  return pbeReadInitialKeyFileAt(path, nullptr, keyOut, keyLengthOut, &read);
}

int32_t pbeReadInitialKeyFileAt(const char* path, const WalkedPath* base, unsigned char** keyOut,
                                int32_t* keyLengthOut, KeyFileRead* read) {
  if (keyOut != nullptr) *keyOut = nullptr;
  if (keyLengthOut != nullptr) *keyLengthOut = 0;
  if (path == nullptr || keyOut == nullptr || keyLengthOut == nullptr || read == nullptr) {
    return kPbeBadArgument;
  }
  // One byte more than the largest key file, to tell a file that is larger.
  unsigned char content[kPbeMaxInitialKeyFileBytes + 1];
  WipeOnExit wipeContent(content, sizeof content);
  size_t contentLength = 0;
  int32_t readResult = readKeyFile(path, base, content, sizeof content, &contentLength, read);
  if (readResult != 0) return readResult;

  ServiceBuffer key;
  int32_t rc = key.allocate(kProbeInitialKey, __LINE__, contentLength + 1, BufferKind::kInitialKey);
  if (rc != 0) return rc;
  std::memcpy(key.bytes(), content, contentLength);
  key.bytes()[contentLength] = '\0';

  unsigned char* keyBytes = key.release();
  {
    std::lock_guard<std::mutex> lock(initialKeysMutex);
    BufferHeader* header = headerOf(keyBytes);
    header->next = initialKeys;
    initialKeys = header;
  }
  *keyOut = keyBytes;
  *keyLengthOut = static_cast<int32_t>(contentLength);
  return 0;
}

void pbeReleaseInitialKeys() {
  std::lock_guard<std::mutex> lock(initialKeysMutex);
  while (initialKeys != nullptr) {
    BufferHeader* header = initialKeys;
    initialKeys = header->next;
    wipeAndFreeBlock(header);
  }
}

void pbeReleaseInitialKey(const unsigned char* key) {
  if (key == nullptr) return;
  std::lock_guard<std::mutex> lock(initialKeysMutex);
  for (BufferHeader** link = &initialKeys; *link != nullptr; link = &(*link)->next) {
    BufferHeader* header = *link;
    if (reinterpret_cast<const unsigned char*>(header + 1) != key) continue;
    *link = header->next;
    wipeAndFreeBlock(header);
    return;
  }
}

int32_t pbeNewKeyText(char* text) {
  if (text == nullptr) return kPbeBadArgument;
  unsigned char key[kPbeNewKeyBytes];
  WipeOnExit wipeKey(key, sizeof key);
  int32_t rc = pbeCryptoRandom(key, kPbeNewKeyBytes);
  if (rc == 0) rc = pbeCryptoBase64Encode(key, kPbeNewKeyBytes, text);
  if (rc != 0) osSecureWipe(text, kPbeNewKeyTextLength + 1);
  return rc;
}

void pbeSetNonceForTesting(const unsigned char* nonce) {
  testNonceSet = nonce != nullptr;
  if (testNonceSet) {
    std::memcpy(testNonce, nonce, sizeof testNonce);
  } else {
    osSecureWipe(testNonce, sizeof testNonce);
  }
}

void pbeSetIterationsForTesting(int32_t iterations) {
  iterationsInUse = iterations > 0 ? iterations : kPbeIterations;
}
