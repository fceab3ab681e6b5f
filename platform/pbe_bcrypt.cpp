// The PBE backend over Windows CNG (bcrypt) and crypt32. Its errors stay in
// this file: every NTSTATUS or failed BOOL becomes a kPbe code here. Both
// DLLs are loaded from System32 by name, never imported: neither is a
// KnownDLL, so an import would be looked for in the program's folder first,
// and the library cannot change its host's search order.

// clang-format off
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>
// clang-format on

#include <aclapi.h>
#include <io.h>
#include <share.h>

#include <cstdio>

#include "platform/pbe.h"
#include "platform/pbe_crypto.h"

namespace {

// The calls of bcrypt.dll and crypt32.dll this backend makes.
struct SystemCalls {
  decltype(&BCryptOpenAlgorithmProvider) openAlgorithmProvider;
  decltype(&BCryptCloseAlgorithmProvider) closeAlgorithmProvider;
  decltype(&BCryptSetProperty) setProperty;
  decltype(&BCryptGenerateSymmetricKey) generateSymmetricKey;
  decltype(&BCryptDestroyKey) destroyKey;
  decltype(&BCryptDeriveKeyPBKDF2) deriveKeyPbkdf2;
  decltype(&BCryptEncrypt) encrypt;
  decltype(&BCryptDecrypt) decrypt;
  decltype(&BCryptGenRandom) genRandom;
  decltype(&CryptBinaryToStringA) binaryToString;
  decltype(&CryptStringToBinaryA) stringToBinary;
};

SystemCalls systemCalls;
bool systemCallsLoaded = false;
INIT_ONCE systemCallsOnce = INIT_ONCE_STATIC_INIT;

template <typename Call>
bool resolve(HMODULE module, const char* name, Call* call) {
  *call = module != nullptr ? reinterpret_cast<Call>(
                                  reinterpret_cast<void*>(GetProcAddress(module, name)))
                            : nullptr;
  return *call != nullptr;
}

BOOL CALLBACK loadSystemCalls(PINIT_ONCE, PVOID, PVOID*) {
  // Loaded for the life of the process: the calls stay valid.
  HMODULE bcrypt = LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  HMODULE crypt32 = LoadLibraryExW(L"crypt32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  SystemCalls& c = systemCalls;
  systemCallsLoaded =
      resolve(bcrypt, "BCryptOpenAlgorithmProvider", &c.openAlgorithmProvider) &&
      resolve(bcrypt, "BCryptCloseAlgorithmProvider", &c.closeAlgorithmProvider) &&
      resolve(bcrypt, "BCryptSetProperty", &c.setProperty) &&
      resolve(bcrypt, "BCryptGenerateSymmetricKey", &c.generateSymmetricKey) &&
      resolve(bcrypt, "BCryptDestroyKey", &c.destroyKey) &&
      resolve(bcrypt, "BCryptDeriveKeyPBKDF2", &c.deriveKeyPbkdf2) &&
      resolve(bcrypt, "BCryptEncrypt", &c.encrypt) &&
      resolve(bcrypt, "BCryptDecrypt", &c.decrypt) &&
      resolve(bcrypt, "BCryptGenRandom", &c.genRandom) &&
      resolve(crypt32, "CryptBinaryToStringA", &c.binaryToString) &&
      resolve(crypt32, "CryptStringToBinaryA", &c.stringToBinary);
  return TRUE;
}

// The system's calls, loaded on first use by whichever thread comes first;
// null when either DLL or any call is missing.
const SystemCalls* system() {
  InitOnceExecuteOnce(&systemCallsOnce, loadSystemCalls, nullptr, nullptr);
  return systemCallsLoaded ? &systemCalls : nullptr;
}

// ntstatus.h clashes with windows.h, so the one status told apart is named here.
constexpr NTSTATUS kStatusAuthTagMismatch = static_cast<NTSTATUS>(0xC000A002L);

bool succeeded(NTSTATUS status) { return status >= 0; }

// CNG takes its inputs through non-const pointers but only reads them.
PUCHAR inputBytes(const unsigned char* data) { return const_cast<PUCHAR>(data); }

class AlgorithmProvider {
 public:
  AlgorithmProvider(LPCWSTR algorithm, ULONG flags) {
    const SystemCalls* calls = system();
    if (calls == nullptr ||
        !succeeded(calls->openAlgorithmProvider(&handle_, algorithm, nullptr, flags))) {
      handle_ = nullptr;
    }
  }
  ~AlgorithmProvider() { reset(); }
  AlgorithmProvider(const AlgorithmProvider&) = delete;
  AlgorithmProvider& operator=(const AlgorithmProvider&) = delete;
  AlgorithmProvider(AlgorithmProvider&& other) noexcept : handle_(other.handle_) {
    other.handle_ = nullptr;
  }
  AlgorithmProvider& operator=(AlgorithmProvider&&) = delete;

  BCRYPT_ALG_HANDLE get() const { return handle_; }
  void reset() {
    if (handle_ != nullptr) system()->closeAlgorithmProvider(handle_, 0);
    handle_ = nullptr;
  }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

// The AES-GCM provider, opened once for the process on first use, as CNG
// recommends; its handle may be shared by every key and thread. Null when
// it cannot be opened.
BCRYPT_ALG_HANDLE gcmProvider() {
  static const AlgorithmProvider provider = [] {
    AlgorithmProvider aes(BCRYPT_AES_ALGORITHM, 0);
    auto* mode = reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_GCM));
    if (aes.get() != nullptr &&
        !succeeded(system()->setProperty(aes.get(), BCRYPT_CHAINING_MODE, mode,
                                         sizeof(BCRYPT_CHAIN_MODE_GCM), 0))) {
      aes.reset();
    }
    return aes;
  }();
  return provider.get();
}

// An AES-GCM key object; CNG wipes its copy of the key when it is destroyed.
class GcmKey {
 public:
  GcmKey(const unsigned char* key, int32_t keyLength) {
    BCRYPT_ALG_HANDLE provider = gcmProvider();
    if (provider == nullptr) return;
    if (!succeeded(system()->generateSymmetricKey(provider, &handle_, nullptr, 0, inputBytes(key),
                                                  static_cast<ULONG>(keyLength), 0))) {
      handle_ = nullptr;
    }
  }
  ~GcmKey() {
    if (handle_ != nullptr) system()->destroyKey(handle_);
  }
  GcmKey(const GcmKey&) = delete;
  GcmKey& operator=(const GcmKey&) = delete;

  BCRYPT_KEY_HANDLE get() const { return handle_; }

 private:
  BCRYPT_KEY_HANDLE handle_ = nullptr;
};

BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO gcmInfo(const unsigned char* nonce,
                                              const unsigned char* aad, int32_t aadLength,
                                              unsigned char* tag) {
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
  BCRYPT_INIT_AUTH_MODE_INFO(info);
  info.pbNonce = inputBytes(nonce);
  info.cbNonce = kPbeNonceBytes;
  info.pbAuthData = inputBytes(aad);
  info.cbAuthData = static_cast<ULONG>(aadLength);
  info.pbTag = tag;
  info.cbTag = kPbeTagBytes;
  return info;
}

}  // namespace

int32_t pbeCryptoDeriveKey(const unsigned char* password, int32_t passwordLength,
                           const unsigned char* salt, int32_t saltLength, int32_t iterations,
                           unsigned char* key, int32_t keyLength) {
  AlgorithmProvider hmac(BCRYPT_SHA256_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
  if (hmac.get() == nullptr) return kPbeCryptoFailure;
  NTSTATUS status = system()->deriveKeyPbkdf2(
      hmac.get(), inputBytes(password), static_cast<ULONG>(passwordLength), inputBytes(salt),
      static_cast<ULONG>(saltLength), static_cast<ULONGLONG>(iterations), key,
      static_cast<ULONG>(keyLength), 0);
  return succeeded(status) ? 0 : kPbeCryptoFailure;
}

int32_t pbeCryptoEncrypt(const unsigned char* key, int32_t keyLength, const unsigned char* nonce,
                         const unsigned char* aad, int32_t aadLength,
                         const unsigned char* plaintext, int32_t length,
                         unsigned char* ciphertext, unsigned char* tag) {
  GcmKey gcmKey(key, keyLength);
  if (gcmKey.get() == nullptr) return kPbeCryptoFailure;
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = gcmInfo(nonce, aad, aadLength, tag);
  ULONG written = 0;
  NTSTATUS status = system()->encrypt(gcmKey.get(), inputBytes(plaintext), static_cast<ULONG>(length),
                                  &info, nullptr, 0, ciphertext, static_cast<ULONG>(length),
                                  &written, 0);
  return succeeded(status) && written == static_cast<ULONG>(length) ? 0 : kPbeCryptoFailure;
}

int32_t pbeCryptoDecrypt(const unsigned char* key, int32_t keyLength, const unsigned char* nonce,
                         const unsigned char* aad, int32_t aadLength,
                         const unsigned char* ciphertext, int32_t length,
                         const unsigned char* tag, unsigned char* plaintext) {
  GcmKey gcmKey(key, keyLength);
  if (gcmKey.get() == nullptr) return kPbeCryptoFailure;
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info =
      gcmInfo(nonce, aad, aadLength, const_cast<unsigned char*>(tag));
  ULONG written = 0;
  NTSTATUS status = system()->decrypt(gcmKey.get(), inputBytes(ciphertext),
                                  static_cast<ULONG>(length), &info, nullptr, 0, plaintext,
                                  static_cast<ULONG>(length), &written, 0);
  if (status == kStatusAuthTagMismatch) return kPbeNotAuthentic;
  return succeeded(status) && written == static_cast<ULONG>(length) ? 0 : kPbeCryptoFailure;
}

int32_t pbeCryptoRandom(unsigned char* buffer, int32_t size) {
  const SystemCalls* calls = system();
  if (calls == nullptr) return kPbeRandomFailure;
  NTSTATUS status = calls->genRandom(nullptr, buffer, static_cast<ULONG>(size),
                                     BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  return succeeded(status) ? 0 : kPbeRandomFailure;
}

int32_t pbeCryptoBase64Encode(const unsigned char* data, int32_t length, char* text) {
  DWORD expected = static_cast<DWORD>(pbeBase64Length(length));
  DWORD size = expected + 1;  // in: room including the NUL; out: characters written
  const SystemCalls* calls = system();
  if (calls == nullptr) return kPbeCryptoFailure;
  if (!calls->binaryToString(data, static_cast<DWORD>(length),
                            CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, text, &size) ||
      size != expected) {
    return kPbeCryptoFailure;
  }
  return 0;
}

int32_t pbeCryptoBase64Decode(const char* text, int32_t length, unsigned char* data,
                              int32_t* dataLengthOut) {
  *dataLengthOut = 0;
  DWORD size = static_cast<DWORD>(length) / 4 * 3;  // in: room; out: bytes decoded
  const SystemCalls* calls = system();
  if (calls == nullptr) return kPbeCryptoFailure;
  if (!calls->stringToBinary(text, static_cast<DWORD>(length), CRYPT_STRING_BASE64, data, &size,
                            nullptr, nullptr)) {
    return kPbeMalformed;
  }
  *dataLengthOut = static_cast<int32_t>(size);
  return 0;
}

