// The keystore grammar: what each line of a text is, as every reader and
// writer is told (lib/orv/keystore_line.h).
#include "lib/orv/keystore_line.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Each line as "<action> <key>[=<value>]", one a line, with the flag line
// that protects a credential as "+<flag key>" and one that holds it back as
// "^<line>": whole classifications compared at once.
std::string classified(const std::string& text) {
  static const char* const kActions[] = {"keep", "drop", "protect", "protected", "held",
                                         "refuse", "refuse-keyfile"};
  std::string out;
  KeystoreLines lines(text.data(), text.size());
  for (KeystoreLine line; lines.next(&line);) {
    out += kActions[static_cast<int>(lineAction(line))];
    if (line.kind != LineKind::kOther) {
      out += " " + std::string(line.text + line.key.begin, line.key.length);
      if (line.value.length > 0) {
        out += "=" + std::string(line.text + line.value.begin, line.value.length);
      }
    }
    if (lineAction(line) == LineAction::kProtect) out += std::string(" +") + line.flagKey;
    if (line.heldBackBy != 0) out += " ^" + std::to_string(line.heldBackBy);
    out += "\n";
  }
  return out;
}

TEST(KeystoreLineTest, EachLineIsWhatTheGrammarSays) {
  const std::string fake = "<ORV>2!AAAA!BBBB!CCCC";
  struct Case { const char* name; std::string text, expected; };
  const Case cases[] = {
      {"a credential, its value up to a comment", "pem.password = ab#cd  x # note\n",
       "protect pem.password=ab#cd  x +pem.encrypted\n"},
      {"keys are prefixes; the channel has its own flag",
       "crl.ldap.pass.2 = a\npem.password.channel.x = b\n",
       "protect crl.ldap.pass.2=a +crl.encrypted\n"
       "protect pem.password.channel.x=b +pem.password.channel.encrypted\n"},
      {"a flag that says YES, any case, holds a credential back; another is dropped",
       "crl.encrypted = yEs\ncrl.ldap.pass = a\ncrl.encrypted.old = NO\ncrl.ldap.pass = b\n",
       "keep crl.encrypted=yEs\nheld crl.ldap.pass=a ^1\ndrop crl.encrypted.old=NO\n"
       "protect crl.ldap.pass=b +crl.encrypted\n"},
      {"rows keep their own state; a flag without a value changes none",
       "pem.encrypted = YES\npem.encrypted =\npkcs11.token_pin = 1\npem.password = 2\n",
       "keep pem.encrypted=YES\nkeep\nprotect pkcs11.token_pin=1 +pkcs11.encrypted\n"
       "held pem.password=2 ^1\n"},
      {"the channel flag is a flag, whatever else it says",
       "pem.password.channel.encrypted = yes\npem.password.channel.encrypted = " + fake + "\n",
       "keep pem.password.channel.encrypted=yes\n"
       "drop pem.password.channel.encrypted=<ORV>2!AAAA!BBBB!CCCC\n"},
      {"the marker and three '!' make a value protected",
       "pem.password = " + fake + "\npem.password = <ORV>x!y!z\n",
       "protected pem.password=" + fake + "\nprotect pem.password=<ORV>x!y!z +pem.encrypted\n"},
      {"no value, or no '=': not a credential line",
       "pem.password secret\npem.password = \t\n  ldap.server\t= host\n", "keep\nkeep\nkeep\n"},
      {"words between a credential's key and '=' are refused",
       "pem.password extra = v\n", "refuse pem.password\n"},
      {"the key file line reads alike in both views, or is refused",
       "orvcred.keyfile = k.key\norvcred.keyfile extra = k.key\norvcred.keyfile k.key\n"
       "orvcred.keyfile =\n",
       "keep orvcred.keyfile\nrefuse orvcred.keyfile\nrefuse-keyfile orvcred.keyfile\n"
       "refuse-keyfile orvcred.keyfile\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(classified(c.text), c.expected) << c.name;
  }
}

TEST(KeystoreLineTest, EachLineKeepsItsOwnEndAndTheMarkBelongsToTheFile) {
  const std::string text = "\xEF\xBB\xBF" "a = 1\r\nb = 2\nc = 3";
  KeystoreLines lines(text.data(), text.size());
  EXPECT_EQ(lines.byteOrderMark(), kByteOrderMarkLength);
  std::string ends;
  for (KeystoreLine line; lines.next(&line);) {
    ends += std::string(line.text, line.length) + (line.hasEnding ? "|" : "~") + line.ending;
  }
  EXPECT_EQ(ends, "a = 1|\r\nb = 2|\nc = 3~\n");
}

}  // namespace
