#ifndef ORV_PLATFORM_PBE_CRYPTO_H_
#define ORV_PLATFORM_PBE_CRYPTO_H_

#include <cstdint>
#include <cstdio>

// What the PBE service needs from the system: one implementation over
// OpenSSL's libcrypto (pbe_openssl.cpp), one over CNG and crypt32
// (pbe_bcrypt.cpp). pbe.cpp checks every argument and bounds every length
// to a positive 32-bit count before it calls these; each returns 0 or a kPbe
// code of platform/pbe.h, converting the library's own errors itself.

// PBKDF2-HMAC-SHA256 of the password and salt into `keyLength` bytes.
// 0 or kPbeCryptoFailure.
int32_t pbeCryptoDeriveKey(const unsigned char* password, int32_t passwordLength,
                           const unsigned char* salt, int32_t saltLength, int32_t iterations,
                           unsigned char* key, int32_t keyLength);

// AES-GCM with a 16- or 32-byte key, a kPbeNonceBytes nonce and a
// kPbeTagBytes tag; the ciphertext is as long as the plaintext. `length` may
// be 0. 0 or kPbeCryptoFailure.
int32_t pbeCryptoEncrypt(const unsigned char* key, int32_t keyLength, const unsigned char* nonce,
                         const unsigned char* aad, int32_t aadLength,
                         const unsigned char* plaintext, int32_t length,
                         unsigned char* ciphertext, unsigned char* tag);

// The reverse. kPbeNotAuthentic when the tag does not match; `plaintext` may
// then hold unauthenticated bytes, which the caller wipes.
int32_t pbeCryptoDecrypt(const unsigned char* key, int32_t keyLength, const unsigned char* nonce,
                         const unsigned char* aad, int32_t aadLength,
                         const unsigned char* ciphertext, int32_t length,
                         const unsigned char* tag, unsigned char* plaintext);

// `size` bytes from the system's secure random generator. 0 or
// kPbeRandomFailure.
int32_t pbeCryptoRandom(unsigned char* buffer, int32_t size);

// Standard base64 with '=' padding and no line breaks of `length` (> 0)
// bytes: exactly pbeBase64Length(length) characters and a NUL into `text`.
// 0 or kPbeCryptoFailure.
int32_t pbeCryptoBase64Encode(const unsigned char* data, int32_t length, char* text);

// Decodes `length` (> 0) characters into `data`, which holds at least
// length / 4 * 3 bytes, and stores the byte count. The libraries differ in
// what they tolerate (whitespace, missing padding, stray bits), so the
// caller re-encodes the result to accept only the canonical text. 0 or
// kPbeMalformed.
int32_t pbeCryptoBase64Decode(const char* text, int32_t length, unsigned char* data,
                              int32_t* dataLengthOut);


constexpr int32_t pbeBase64Length(int32_t length) { return (length + 2) / 3 * 4; }

#endif  // ORV_PLATFORM_PBE_CRYPTO_H_
