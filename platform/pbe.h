#ifndef ORV_PLATFORM_PBE_H_
#define ORV_PLATFORM_PBE_H_

#include <cstddef>
#include <cstdint>

#include "platform/key_file.h"
#include "platform/paths.h"

// Password-based encryption (PBE) service of the common services.
//
// svcPbeInit derives a master key once, with PBKDF2-HMAC-SHA256 and 600,000
// iterations, from the context's initial key and salt. Algorithm 1 protects
// with AES-128-GCM, algorithm 2 with AES-256-GCM. Every protected value takes
// a fresh 96-bit nonce from the system's secure random generator and carries
// a 128-bit tag; the marker and the algorithm digit are authenticated with it.
//
// A protected text reads
//   <marker><algorithm digit>!<base64 nonce>!<base64 ciphertext>!<base64 tag>
// (standard base64 with padding): printable, no whitespace, no '#', exactly
// three '!'.

// The record that the command fills and the service reads; its layout is
// fixed (little-endian, natural alignment, 88 bytes).
struct PbeContext {
  int32_t algorithm;
  int32_t padding1;
  const char* marker;
  int32_t reserved;
  int32_t initialKeyLength;
  const unsigned char* initialKey;
  uint32_t saltLength;
  int32_t padding2;
  const unsigned char* salt;
  uint64_t serviceWords[5];  // the service's own state; zero before svcPbeInit
};

static_assert(sizeof(PbeContext) == 88, "PbeContext layout");
static_assert(offsetof(PbeContext, algorithm) == 0, "PbeContext layout");
static_assert(offsetof(PbeContext, marker) == 8, "PbeContext layout");
static_assert(offsetof(PbeContext, reserved) == 16, "PbeContext layout");
static_assert(offsetof(PbeContext, initialKeyLength) == 20, "PbeContext layout");
static_assert(offsetof(PbeContext, initialKey) == 24, "PbeContext layout");
static_assert(offsetof(PbeContext, saltLength) == 32, "PbeContext layout");
static_assert(offsetof(PbeContext, salt) == 40, "PbeContext layout");
static_assert(offsetof(PbeContext, serviceWords) == 48, "PbeContext layout");

constexpr int32_t kPbeIterations = 600000;
constexpr int32_t kPbeNonceBytes = 12;
constexpr int32_t kPbeTagBytes = 16;
constexpr int32_t kPbeMaxInitialKeyFileBytes = 4096;
constexpr int32_t kPbeMaxMarkerLength = 32;
// Plaintexts up to this length can be protected; the protected text of the
// longest one still fits a signed 32-bit length.
constexpr int32_t kPbeMaxPlaintextBytes = 64 * 1024 * 1024;

// Result codes. They are all below 256, so each reaches the exit code as it
// is.
constexpr int32_t kPbeBadAlgorithm = 60;     // algorithm other than 1 or 2
constexpr int32_t kPbeBadMarker = 61;        // marker missing, empty, too long, or not printable
constexpr int32_t kPbeBadInitialKey = 62;    // initial key missing or empty
constexpr int32_t kPbeBadSalt = 63;          // salt missing or empty
constexpr int32_t kPbeNotInitialised = 64;   // context not initialised by svcPbeInit
constexpr int32_t kPbeBadArgument = 65;      // null pointer or length out of range
constexpr int32_t kPbeNoMemory = 66;
constexpr int32_t kPbeCryptoFailure = 67;    // the system's crypto library failed
constexpr int32_t kPbeRandomFailure = 68;    // the secure random generator failed
constexpr int32_t kPbeMalformed = 70;        // not a protected text of this format
constexpr int32_t kPbeWrongMarker = 71;      // protected under another marker
constexpr int32_t kPbeWrongAlgorithm = 72;   // protected under the other algorithm
constexpr int32_t kPbeNotAuthentic = 73;     // tampered with, or protected under another key
constexpr int32_t kPbeKeyFileUnreadable = 80;  // cannot be opened or read
constexpr int32_t kPbeKeyFileEmpty = 81;       // no key bytes
constexpr int32_t kPbeKeyFileTooLarge = 82;    // more than kPbeMaxInitialKeyFileBytes
constexpr int32_t kPbeKeyFileExposed = 83;     // others may read or change it
constexpr int32_t kPbeKeyFileForeign = 84;     // owned by another user, who could choose the key

// Checks the context (algorithm 1 or 2, marker, initial key and salt present)
// and derives the master key into the service words. 0 or a code above; on
// failure the service words stay zero.
int32_t svcPbeInit(PbeContext* context);

// Protects `length` bytes of `plaintext`. On 0, *protectedOut holds a new
// text of *protectedLengthOut characters (NUL-terminated besides) that the
// caller returns with svcPbeFreeBuf; on failure both outputs are null/0.
// An empty plaintext is allowed.
int32_t svcPbeSave(PbeContext* context, const char* plaintext, int32_t length,
                   char** protectedOut, int32_t* protectedLengthOut);

// The reading half: turns a protected text back into its plaintext under the
// same context. On 0, *plaintextOut holds a new buffer of *plaintextLengthOut
// bytes (NUL-terminated besides), released with svcPbeFreeBuf. Malformed,
// tampered or foreign texts give a non-zero code and no plaintext: first
// kPbeMalformed for anything not of the form above (canonical base64, a
// 12-byte nonce, a 16-byte tag), then kPbeWrongMarker, kPbeWrongAlgorithm,
// and kPbeNotAuthentic when the tag does not match.
int32_t svcPbeRestore(PbeContext* context, const char* text, int32_t length,
                      char** plaintextOut, int32_t* plaintextLengthOut);

// Wipes and releases a buffer of svcPbeSave or svcPbeRestore; the buffer
// knows its size, so `length` is only informative. A null buffer is ignored;
// a key buffer of svcPbeReadInitialKeyFile is refused with kPbeBadArgument.
int32_t svcPbeFreeBuf(char* buffer, int32_t length);

// Wipes the master key; the context can be initialised again afterwards.
// 0, or kPbeBadArgument for a null context.
int32_t svcPbeTerm(PbeContext* context);

// Reads an initial key file: the key is the file's bytes less one trailing
// line feed or carriage return and line feed. The key buffer stays valid
// until svcProgramTerm, which wipes it. A file that others may read or
// change is refused unread (kPbeKeyFileExposed), and so is one that another
// user owns (kPbeKeyFileForeign); osCheckPrivate in platform/files.h says
// what each platform checks; platform/key_file.h how the file is reached.
// 0 or a kPbeKeyFile code
// (kPbeBadArgument for a null argument, kPbeNoMemory); on failure the
// outputs are null/0.
int32_t svcPbeReadInitialKeyFile(const char* path, unsigned char** keyOut, int32_t* keyLengthOut);

// svcPbeReadInitialKeyFile of a key file named relative to `base`'s folder
// (when `path` is relative and `base` is given), reporting in `read` why a
// file could not be read (platform/key_file.h).
int32_t pbeReadInitialKeyFileAt(const char* path, const WalkedPath* base, unsigned char** keyOut,
                                int32_t* keyLengthOut, KeyFileRead* read);

// The contexts that svcPbeInit made ready and svcPbeTerm has not yet wiped.
int64_t pbeLiveContexts();

// Wipes and releases every key buffer of svcPbeReadInitialKeyFile.
void pbeReleaseInitialKeys();

// Wipes and releases one key buffer of svcPbeReadInitialKeyFile at once, for
// a caller that needs the key only until its master key is derived and must
// not keep it until svcProgramTerm (the orvcred library). A null pointer, or
// one that is no such buffer, is ignored.
void pbeReleaseInitialKey(const unsigned char* key);

// A new initial key as text: kPbeNewKeyBytes bytes from the system's secure
// random generator, as standard base64 with padding (kPbeNewKeyTextLength
// characters) and a NUL, into `text` (kPbeNewKeyTextLength + 1 bytes). 0,
// kPbeBadArgument, kPbeRandomFailure or kPbeCryptoFailure; the random bytes
// are wiped either way, and `text` too on failure.
constexpr int32_t kPbeNewKeyBytes = 32;
constexpr int32_t kPbeNewKeyTextLength = (kPbeNewKeyBytes + 2) / 3 * 4;
int32_t pbeNewKeyText(char* text);

// For tests only: known-answer checks need a fixed nonce. A non-null `nonce`
// (kPbeNonceBytes bytes, copied) is used by every later svcPbeSave instead of
// the secure random generator; null returns to the generator.
void pbeSetNonceForTesting(const unsigned char* nonce);

// For tests only: fault sweeps run the whole command hundreds of times, and
// the key derivation's cost has no part in what they check. A positive count
// is used by every later svcPbeInit instead of kPbeIterations; 0 returns to
// kPbeIterations.
void pbeSetIterationsForTesting(int32_t iterations);

#endif  // ORV_PLATFORM_PBE_H_
