#ifndef ORV_LIB_ORV_CREDENTIAL_KEYS_H_
#define ORV_LIB_ORV_CREDENTIAL_KEYS_H_

#include <cstring>

// The keys of keystore.conf whose values are credentials. A key is a
// credential key when it begins with one of these (case counts). The
// credential line rewriter protects their values; the configuration reader
// never traces them.
inline constexpr const char* kCredentialKeys[] = {"crl.ldap.pass", "pem.password",
                                                   "pkcs11.token_pin"};

inline bool isCredentialKey(const char* key) {
  if (key == nullptr) return false;
  for (const char* credentialKey : kCredentialKeys) {
    if (std::strncmp(key, credentialKey, std::strlen(credentialKey)) == 0) return true;
  }
  return false;
}

#endif  // ORV_LIB_ORV_CREDENTIAL_KEYS_H_
