// The PBE backend over OpenSSL 3's libcrypto. Its errors stay in this file:
// a failed call clears OpenSSL's error queue and becomes a kPbe code.

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>

#include "platform/pbe.h"
#include "platform/pbe_crypto.h"

namespace {

int32_t failed(int32_t code) {
  ERR_clear_error();
  return code;
}

// Fetched once for the process: an implicit fetch on every initialisation
// looks the algorithm up by name each time, about a sixth of the cost of
// protecting one value. Null when the provider has no such cipher.
const EVP_CIPHER* gcmCipher(int32_t keyLength) {
  static EVP_CIPHER* const aes128 = EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr);
  static EVP_CIPHER* const aes256 = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
  return keyLength == 16 ? aes128 : aes256;
}

class CipherContext {
 public:
  CipherContext() : context_(EVP_CIPHER_CTX_new()) {}
  ~CipherContext() { EVP_CIPHER_CTX_free(context_); }  // also wipes the key schedule
  CipherContext(const CipherContext&) = delete;
  CipherContext& operator=(const CipherContext&) = delete;

  EVP_CIPHER_CTX* get() const { return context_; }

 private:
  EVP_CIPHER_CTX* context_;
};

}  // namespace

int32_t pbeCryptoDeriveKey(const unsigned char* password, int32_t passwordLength,
                           const unsigned char* salt, int32_t saltLength, int32_t iterations,
                           unsigned char* key, int32_t keyLength) {
  if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(password), passwordLength, salt, saltLength,
                        iterations, EVP_sha256(), keyLength, key) != 1) {
    return failed(kPbeCryptoFailure);
  }
  return 0;
}

int32_t pbeCryptoEncrypt(const unsigned char* key, int32_t keyLength, const unsigned char* nonce,
                         const unsigned char* aad, int32_t aadLength,
                         const unsigned char* plaintext, int32_t length,
                         unsigned char* ciphertext, unsigned char* tag) {
  CipherContext context;
  int written = 0;
  int finalWritten = 0;
  if (context.get() == nullptr ||
      EVP_EncryptInit_ex(context.get(), gcmCipher(keyLength), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, kPbeNonceBytes, nullptr) != 1 ||
      EVP_EncryptInit_ex(context.get(), nullptr, nullptr, key, nonce) != 1 ||
      EVP_EncryptUpdate(context.get(), nullptr, &written, aad, aadLength) != 1) {
    return failed(kPbeCryptoFailure);
  }
  written = 0;
  if ((length > 0 &&
       EVP_EncryptUpdate(context.get(), ciphertext, &written, plaintext, length) != 1) ||
      EVP_EncryptFinal_ex(context.get(), ciphertext + written, &finalWritten) != 1 ||
      written + finalWritten != length ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, kPbeTagBytes, tag) != 1) {
    return failed(kPbeCryptoFailure);
  }
  return 0;
}

int32_t pbeCryptoDecrypt(const unsigned char* key, int32_t keyLength, const unsigned char* nonce,
                         const unsigned char* aad, int32_t aadLength,
                         const unsigned char* ciphertext, int32_t length,
                         const unsigned char* tag, unsigned char* plaintext) {
  CipherContext context;
  int written = 0;
  int finalWritten = 0;
  // OpenSSL takes the expected tag through a non-const pointer but only reads it.
  auto* expectedTag = const_cast<unsigned char*>(tag);
  if (context.get() == nullptr ||
      EVP_DecryptInit_ex(context.get(), gcmCipher(keyLength), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, kPbeNonceBytes, nullptr) != 1 ||
      EVP_DecryptInit_ex(context.get(), nullptr, nullptr, key, nonce) != 1 ||
      EVP_DecryptUpdate(context.get(), nullptr, &written, aad, aadLength) != 1) {
    return failed(kPbeCryptoFailure);
  }
  written = 0;
  if ((length > 0 &&
       EVP_DecryptUpdate(context.get(), plaintext, &written, ciphertext, length) != 1) ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, kPbeTagBytes, expectedTag) != 1) {
    return failed(kPbeCryptoFailure);
  }
  // The final step is where the tag is compared; it fails on a mismatch.
  if (EVP_DecryptFinal_ex(context.get(), plaintext + written, &finalWritten) != 1) {
    return failed(kPbeNotAuthentic);
  }
  return written + finalWritten == length ? 0 : failed(kPbeCryptoFailure);
}

int32_t pbeCryptoRandom(unsigned char* buffer, int32_t size) {
  return RAND_bytes(buffer, size) == 1 ? 0 : failed(kPbeRandomFailure);
}

int32_t pbeCryptoBase64Encode(const unsigned char* data, int32_t length, char* text) {
  int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text), data, length);
  return written == pbeBase64Length(length) ? 0 : failed(kPbeCryptoFailure);
}

int32_t pbeCryptoBase64Decode(const char* text, int32_t length, unsigned char* data,
                              int32_t* dataLengthOut) {
  *dataLengthOut = 0;
  int decoded = EVP_DecodeBlock(data, reinterpret_cast<const unsigned char*>(text), length);
  if (decoded < 0) return failed(kPbeMalformed);
  // EVP_DecodeBlock counts the padding as decoded zero bytes.
  int padding = 0;
  while (padding < 2 && padding < length && text[length - 1 - padding] == '=') ++padding;
  if (decoded < padding) return kPbeMalformed;
  *dataLengthOut = decoded - padding;
  return 0;
}

