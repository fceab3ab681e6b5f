#ifndef ORV_CMD_ORV_REWRITER_H_
#define ORV_CMD_ORV_REWRITER_H_

#include <cstdint>
#include <cstdio>

#include "platform/pbe.h"

// The credential line rewriter: decides, one line of keystore.conf at a
// time, whether a line is passed through, dropped, or replaced by a flag line
// and the credential line with its value protected.

constexpr int32_t kRewriteFunctionNumber = 371;

// What the last flag line of a row said.
constexpr int32_t kCredentialStateUnknown = -1;      // no flag line seen yet
constexpr int32_t kCredentialStateNotProtected = 0;  // a non-empty value other than "YES"
constexpr int32_t kCredentialStateProtected = 1;     // "YES", in any case

// One row of the credential table. Keys match as case-sensitive prefixes of a
// line's key.
struct CredentialRule {
  const char* credentialKey;  // prefix of this row's credential keys
  const char* flagKey;        // prefix of this row's flag keys; key of the flag line written
  int32_t state;              // a kCredentialState value, kept from line to line
};

// The process-wide credential table, ended by a row whose credentialKey is
// null. Only the states change, and only through rewriteCredentialLine (or
// resetCredentialStates).
extern CredentialRule credentialTable[];

// The flag line written before a protected channel password. A line with
// exactly this key is a flag line, never a credential line: "YES" (any case)
// passes through, another non-empty value is dropped, no state changes.
constexpr const char* kChannelFlagKey = "pem.password.channel.encrypted";

// Handles one line read from keystore.conf: writes to `output` the line
// itself, nothing, or the flag line and the protected credential line, and
// updates the table's states. `output`, `context` and `line` are non-null;
// `line` is NUL-terminated, of any length, and writable: a final newline is
// removed in place, the rest of the text is left as it was handed in.
// Returns 0, or the non-zero code of the protection that failed (reported by
// message 0x20006337); nothing is then written for the line, so that its
// plaintext never reaches an output or side file. Not
// reentrant: the states are process-wide.
int32_t rewriteCredentialLine(FILE* output, PbeContext* context, char* line);

// Writes `key` = `text` as exactly `length` characters: the text up to
// `length` or its first NUL, padded on the right with spaces.
void writeProtectedLine(FILE* output, const char* key, const char* text, int32_t length);

// Puts every row back to kCredentialStateUnknown. The run never calls it;
// tests do, between cases.
void resetCredentialStates();

#endif  // ORV_CMD_ORV_REWRITER_H_
