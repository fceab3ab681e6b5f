#include "bench/bench_support.h"

#include <cstdlib>

#include "lib/orvcred/initial_key.h"

const std::vector<std::string>& passThroughLines() {
  static const std::vector<std::string> lines = {
      "# stanza 12: the server certificate store and its access\n",
      "pem.keystore.12 = /etc/vkt/keys/store12.pem\n",
      "crl.ldap.host.12 = ldap12.example.test:389\n",
      "\n",
      "ssl.cipher.order.12 = AES256-GCM-SHA384\n",
      "   # indented comment, kept byte for byte\n",
      "pkcs11.library.12 = /usr/lib/pkcs11/token12.so\n",
      "ldap.timeout.12=30\n",
      "trace.level.12 = 2   # trailing comment\n",
  };
  return lines;
}

const std::vector<std::string>& credentialLines() {
  static const std::vector<std::string> lines = {
      "pem.password = Secret-00000120-pw\n",
      "crl.ldap.pass = Secret-00000130-pw\n",
      "pkcs11.token_pin = Secret-00000140-pw\n",
      "pem.password.channel = Secret-00000150-pw\n",
  };
  return lines;
}

std::string sampleKeystoreText(int lines) {
  const std::vector<std::string>& plain = passThroughLines();
  const std::vector<std::string>& secret = credentialLines();
  std::string text;
  for (int n = 0; n < lines; ++n) {
    int slot = n % 10;
    text += slot == 0 ? secret[static_cast<size_t>(n / 10) % secret.size()]
                      : plain[static_cast<size_t>(slot - 1)];
  }
  return text;
}


Protection* initialisedProtection() {
  static const unsigned char kInitialKey[] = "bench-initial-key-0123456789abcdef";
  static Protection protection;
  if (protection.algorithm == 0) {
    protection.algorithm = 2;
    if (protection.keys.derive(kInitialKey, static_cast<int32_t>(sizeof kInitialKey - 1), 2) != 0) {
      std::fputs("orv_bench: svcPbeInit failed\n", stderr);
      std::exit(1);
    }
  }
  return &protection;
}
