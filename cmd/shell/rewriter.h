#ifndef ORV_CMD_SHELL_REWRITER_H_
#define ORV_CMD_SHELL_REWRITER_H_

#include <cstddef>
#include <cstdint>

#include "cmd/shell/replacement.h"
#include "lib/orv/keystore_line.h"
#include "lib/orvcred/initial_key.h"
#include "lib/orvcred/master_keys.h"
#include "platform/pbe.h"

// The credential line rewriter: writes what takes the place of one line of
// keystore.conf, as the keystore's classifier (lib/orv/keystore_line.h)
// judged it. orvseal writes every line through it, and orvcred rekey every
// line but those it protects again under a new key.

constexpr int32_t kRewriteFunctionNumber = 371;

// The master key that new values are protected under: one initial key and
// one algorithm. The PBE context is MasterKeys', set up there alone.
struct Protection {
  MasterKeys keys;
  int32_t algorithm = 0;

  // The protected text of `plaintext` (MasterKeys::protect), released with
  // svcPbeFreeBuf.
  int32_t protect(const char* plaintext, size_t length, char** text, int32_t* textLength) {
    return keys.protect(algorithm, plaintext, length, text, textLength);
  }
};

// Derives the master key of `key` for `algorithm`. 0, or the code of
// svcPbeInit, reported (ORV6337E).
int32_t startProtection(const InitialKey& key, int32_t algorithm, Protection* protection);

// Writes into `output` what takes the line's place (lineAction): the line
// and its line end; nothing for a flag line that says "not protected"; for
// a plaintext credential, its flag line and the credential line with the
// whole value protected under `protection` (writeProtectedLine). Returns 0, or
// the non-zero code of the protection that failed (reported by message
// 0x20006337): nothing is then written for the line, so that its plaintext
// never reaches an output. A line to refuse is the caller's to catch first
// (keystoreFault); it is written as it is.
int32_t rewriteCredentialLine(TextOutput& output, Protection& protection, const KeystoreLine& line);

// The WriteBytes of a TextOutput (`sink`), for the classifier's writers.
void writeToOutput(void* sink, const char* bytes, size_t length);

// Which line end writeLineWith gives a line: always one (orvseal ends every
// line), or the one the line had (none for a last line without one).
enum class LineEnd { kAlways, kAsRead };

// Writes `line` and its line end into `output`, the stretch `span` of it
// replaced by the `length` bytes of `text`: the one way a writer changes a
// line in place, every other byte of it kept.
void writeLineWith(TextOutput& output, const KeystoreLine& line, const LineSpan& span,
                   const char* text, size_t length, LineEnd end = LineEnd::kAlways);

// A text composed in memory before any file is touched, so that it can be
// read back first; its bytes are wiped whenever they move and when it goes.
class SecretText final : public TextOutput {
 public:
  SecretText() = default;
  ~SecretText();
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;

  void write(const char* bytes, size_t length) override;
  const char* data() const { return bytes_; }
  size_t size() const { return size_; }
  // False when memory ran out: the text is incomplete.
  bool complete() const { return !failed_; }

 private:
  char* bytes_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool failed_ = false;
};

// What a writer of a whole keystore adds to orvseal's rewrite: `ownLine`
// (may be null) sees every line first and either writes it itself
// (*written true) or leaves it to the rewrite; a non-zero result ends the
// write with that code.
struct KeystoreWriter {
  int32_t (*ownLine)(void* state, TextOutput& output, const KeystoreLine& line,
                     bool* written) = nullptr;
  void* state = nullptr;
};

// Writes the whole keystore `text` (`length` bytes, which passed
// keystoreFault) into `output` as orvseal protects it: its byte order mark
// as it is, then every line as rewriteCredentialLine writes it, unless
// `writer` writes the line itself. Stops at the first failure and returns
// its code; 0 when every line is written.
int32_t rewriteKeystore(TextOutput& output, Protection& protection, const char* text, size_t length,
                        const KeystoreWriter& writer = {});

#endif  // ORV_CMD_SHELL_REWRITER_H_
