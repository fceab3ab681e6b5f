#ifndef ORV_CMD_SHELL_REPLACEMENT_H_
#define ORV_CMD_SHELL_REPLACEMENT_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "lib/orv/config_access.h"
#include "platform/files.h"

// What a keystore's text is written into: a Replacement, or a SecretText
// held in memory (cmd/shell/rewriter.h).
class TextOutput {
 public:
  virtual void write(const char* bytes, size_t length) = 0;

 protected:
  ~TextOutput() = default;
};

// The one way a command replaces a file with new text (the keystore, or an
// -o file): begin, write, commit, and discard on every failure. The text
// goes to a side file beside the file it replaces, created exclusively and
// owner-only; commit flushes it to disk, gives it the permissions and owner
// of the file it stands for (taken from that file, held open) and lets it
// take that file's place in one atomic step, only if the name still leads to
// that file. Until then the file is unchanged, and a side file that was not
// committed is removed when the Replacement goes. Each failure is reported
// with its message.
class Replacement final : public TextOutput {
 public:
  Replacement() = default;
  ~Replacement();
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;

  // Starts the replacement of the file at `target`'s name (walked already,
  // so that the file a link names is replaced and the link kept; the walk
  // must outlive the Replacement, whose every step works in its held
  // folder). `model` is the file open for reading whose permissions and
  // owner the new file takes: the target itself, or for a new file the
  // keystore; the Replacement closes it. `expected` (may be null, for a new
  // file) is what the target must still be, unchanged, at the commit. The
  // side file is "<name>.bak", else "<name>.1.bak" and on: a file this run
  // did not create is never removed or overwritten; an interruption removes
  // it. `keystoreName` is the keystore's name as the user gave it when the
  // target is the keystore, else null; a keystore with several names is
  // warned of (ORV9114W). 0; kConfigPathTooLong (ORV9109E); kRunCannotOpen
  // (ORV9106E).
  int32_t begin(const WalkedPath& target, FILE* model, const FileId* expected,
                const char* keystoreName);

  // Writes straight into what `target` names, which is no regular file (a
  // pipe, a terminal, /dev/null): nothing to replace, only flushed at
  // commit. 0 or kRunCannotOpen (ORV9106E).
  int32_t beginStream(const WalkedPath& target);

  // Starts the output of a file the user named to be written (orvseal's
  // -o, check's --write-baseline), walked already: in a folder that others
  // may write, it must be nobody else's (kRunSteered, ORV9119E); no regular
  // file is written straight (beginStream); an existing file is replaced,
  // keeping its permissions and owner; a new file takes those of
  // `newFileModel` (closed by the Replacement), or with none stays its
  // owner's alone. 0; kRunCannotOpen (ORV9106E); or a result of begin.
  int32_t beginFile(const WalkedPath& target, FILE* newFileModel);

  void write(const char* bytes, size_t length) override;

  // Whether the file replaced is the keystore that the run read.
  bool replacesKeystore() const { return replacesKeystore_; }

  // 0; kRunWriteFailed (ORV9107E); kRunFileInUse (ORV9115E) when another
  // process holds the file open; kRunFileChanged (ORV911BE) when its name
  // holds another file by now, or the same file changed; kRunReplaceFailed
  // (ORV9108E). On failure the file is unchanged and the side file removed.
  int32_t commit();

 private:
  FILE* stream_ = nullptr;
  bool sideFile_ = true;
  FILE* model_ = nullptr;
  FileId expected_;
  bool expecting_ = false;
  bool replacesKeystore_ = false;
  const WalkedPath* target_ = nullptr;
  char sideName_[kPathSize] = {};         // in the target's folder
  char sidePath_[kConfigPathSize] = {};   // the whole path, for messages
  char buffer_[64 * 1024];  // the stream's: a sixteenth of the write calls of the default size
};

#endif  // ORV_CMD_SHELL_REPLACEMENT_H_
