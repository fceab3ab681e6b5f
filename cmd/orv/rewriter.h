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

// The result of a credential line with words between its key and '='
// ("pem.password extra = v"): which word is the value cannot be told, so the
// line is not protected and nothing is written for it.
constexpr int32_t kRewriteWordsBeforeEquals = 21;

// What the caller is to tell the user about a line beyond the result.
struct LineNote {
  enum Kind {
    kNone,
    kPlaintextBehindFlag,  // a plaintext credential passed through behind a "YES" flag
    kWordsBeforeEquals,    // the line of kRewriteWordsBeforeEquals
  };
  Kind kind = kNone;
  const char* key = nullptr;  // the line's key, inside the line
  size_t keyLength = 0;
};

// Handles one line read from keystore.conf: writes to `output` the line
// itself, nothing, or the flag line and the protected credential line, and
// updates the table's states. `output`, `context` and `line` are non-null;
// `line` is NUL-terminated, of any length, and writable: a final newline is
// removed in place, the rest of the text is left as it was handed in.
//
// The value of a credential line runs from the first non-blank character
// after '=' to the end of the line or a comment (configValueEnd), less
// trailing blanks, and is protected whole; the comment, with the blanks
// before it, follows the protected value. A flag line's value is its first
// word. Lines written in place of a line end as it does ("\r\n" or "\n");
// a line passed through is written byte for byte, with a newline.
//
// Returns 0; kRewriteWordsBeforeEquals; or the non-zero code of the
// protection that failed (reported by message 0x20006337). Nothing is then
// written for the line, so that its plaintext never reaches an output or
// side file. `note` (may be null) receives what the caller should report.
// Not reentrant: the states are process-wide.
int32_t rewriteCredentialLine(FILE* output, PbeContext* context, char* line,
                              LineNote* note = nullptr);

// Puts every row back to kCredentialStateUnknown. The run never calls it;
// tests do, between cases.
void resetCredentialStates();

#endif  // ORV_CMD_ORV_REWRITER_H_
