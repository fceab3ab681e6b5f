#ifndef ORV_LIB_ORVCRED_CREDENTIAL_LINE_H_
#define ORV_LIB_ORVCRED_CREDENTIAL_LINE_H_

#include <cstddef>
#include <cstdint>

// Credential lines of keystore.conf as orvseal's rewriter reads them: the key
// is the first word of the line (ended by whitespace or '='); a flag line's
// value is the first word after the '=' that follows it, a credential's all
// of it up to a comment (configValueEnd). A key that begins with a
// credential key (lib/orv/credential_keys.h) and has a value is a credential
// line; one that begins with a row's flag key, or is exactly the channel
// flag key, is a flag line. A value is a protected text when it begins with
// the marker and holds at least three '!'.

// A stretch of a line, by offset from its start.
struct LineSpan {
  size_t begin = 0;
  size_t length = 0;
};

enum class CredentialLineKind { kOther, kFlag, kCredential };

struct CredentialLine {
  CredentialLineKind kind = CredentialLineKind::kOther;
  LineSpan key;
  LineSpan value;
  bool flagSaysProtected = false;    // kFlag: the value is YES in any case
  bool protectedValue = false;       // kCredential: the value is a protected text
  bool behindProtectedFlag = false;  // kCredential: its row's last flag line said YES
  // kCredential: words stand between the key and '=', so which word is the
  // value cannot be told (orvseal refuses such a line).
  bool wordsBeforeEquals = false;
  // kCredential: the key of the flag line that orvseal writes before the
  // protected line (the channel flag key for a channel password).
  const char* flagKey = nullptr;
};

// Classifies the lines of one file in order, keeping each row's last flag
// state from line to line as orvseal does.
class CredentialLineScanner {
 public:
  // `line` holds `length` bytes without the line feed (NUL bytes are not
  // looked for).
  CredentialLine next(const char* line, size_t length);

 private:
  static constexpr int kRows = 3;
  bool flagProtected_[kRows] = {};  // the row's last flag line said YES
};

// One line of a keystore text, classified.
struct KeystoreLine {
  const char* text = nullptr;  // the line, without its line feed
  size_t length = 0;
  bool hasNewline = false;     // a line feed ended it
  int64_t number = 0;          // 1-based
  CredentialLine credential;
};

// The lines of a keystore text in order, each classified by one scanner.
class KeystoreLines {
 public:
  KeystoreLines(const char* text, size_t length) : text_(text), length_(length) {}
  // The next line, or false at the end of the text.
  bool next(KeystoreLine* line);

 private:
  const char* text_;
  size_t length_;
  size_t start_ = 0;
  int64_t number_ = 0;
  CredentialLineScanner scanner_;
};

// The channel flag key, the flag line of every channel password.
constexpr const char* kChannelFlagLineKey = "pem.password.channel.encrypted";

// Whether `length` bytes at `text` are a protected text by the rule above.
bool isProtectedText(const char* text, size_t length);

// Whether the line's key (as above) is exactly `key`.
bool lineKeyEquals(const char* line, size_t length, const char* key);

#endif  // ORV_LIB_ORVCRED_CREDENTIAL_LINE_H_
