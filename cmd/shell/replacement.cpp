#include "cmd/shell/replacement.h"

#include <cerrno>
#include <cstring>

#include "cmd/shell/shell.h"
#include "platform/files.h"
#include "platform/runtime.h"

namespace {

// Names tried for the side file when "<path>.bak" is taken.
constexpr int kSideFileNamesTried = 100;

// The side file's name for attempt 0, 1, ..., and its whole path: false
// when the path does not fit.
bool sideFileName(const WalkedPath& target, int attempt, char* name, char* path) {
  char suffix[16] = ".bak";
  if (attempt > 0) std::snprintf(suffix, sizeof suffix, ".%d.bak", attempt);
  int written = std::snprintf(path, kConfigPathSize, "%s%s", target.text, suffix);
  int named = std::snprintf(name, kPathSize, "%s%s", target.name, suffix);
  // 259 characters: the limit of a path that Windows takes without "\\?\".
  return written >= 0 && written < static_cast<int>(kConfigPathSize) && named >= 0 &&
         named < static_cast<int>(kPathSize) && osPathLength(path) < kConfigPathMaxLength;
}

int32_t errorOf(FILE* stream) {
  return osFileError(stream) ? (errno != 0 ? errno : EIO) : osSyncFile(stream);
}

}  // namespace

Replacement::~Replacement() {
  if (stream_ != nullptr && sideFile_) osDiscardFile(stream_, *target_, sideName_);
  if (stream_ != nullptr && !sideFile_) osCloseFile(stream_);
  if (model_ != nullptr) osCloseFile(model_);
  osSecureWipe(buffer_, sizeof buffer_);
}

int32_t Replacement::begin(const WalkedPath& target, FILE* model, const FileId* expected,
                           const char* keystoreName) {
  model_ = model;
  target_ = &target;
  replacesKeystore_ = keystoreName != nullptr;
  expecting_ = expected != nullptr;
  if (expecting_) expected_ = *expected;
  if (!sideFileName(target, 0, sideName_, sidePath_)) {
    ORV_MESSAGE(kMsgPathTooLong, textMessage(target.text));
    return kConfigPathTooLong;
  }
  // The side file takes the place of one name only; the others keep the
  // old text, plaintext credentials and all.
  uint32_t names = 0;
  if (replacesKeystore_ && osLinkCount(model_, &names) == 0 && names > 1) {
    ORV_MESSAGE(kMsgHardLinks, numberMessage(names, keystoreName));
  }
  for (int attempt = 1; attempt <= kSideFileNamesTried; ++attempt) {
    stream_ = osCreatePrivateFile(target, sideName_, model_);
    if (stream_ != nullptr || errno != EEXIST) break;
    if (!sideFileName(target, attempt, sideName_, sidePath_)) {
      ORV_MESSAGE(kMsgPathTooLong, textMessage(target.text));
      return kConfigPathTooLong;
    }
  }
  if (stream_ == nullptr) {
    ORV_MESSAGE(kMsgCannotOpen, numberMessage(errno, sidePath_));
    return kRunCannotOpen;
  }
  osGuardSideFile(stream_, &target, sideName_);
  // Without the larger buffer the stream keeps its own; nothing is lost.
  std::setvbuf(stream_, buffer_, _IOFBF, sizeof buffer_);
  return kRunOk;
}

int32_t Replacement::beginFile(const WalkedPath& target, FILE* newFileModel) {
  int32_t error = osCheckOwnedByCaller(target);
  if (error == EPERM) {
    if (newFileModel != nullptr) osCloseFile(newFileModel);
    ORV_MESSAGE(kMsgForeignFile, textMessage(target.text));
    return kRunSteered;
  }
  FileKind kind = FileKind::kMissing;
  if (error == 0) error = osFileKindAt(target, &kind);
  if (error == 0 && kind == FileKind::kMissing)
    return begin(target, newFileModel, nullptr, nullptr);
  if (newFileModel != nullptr) osCloseFile(newFileModel);
  if (error != 0) {
    ORV_MESSAGE(kMsgCannotOpen, numberMessage(error, target.text));
    return kRunCannotOpen;
  }
  if (kind == FileKind::kOther) return beginStream(target);
  FileId id;
  FILE* model = osOpenForReading(target);
  if (model == nullptr || osIdentifyFile(model, &id) != 0) {
    ORV_MESSAGE(kMsgCannotOpen, numberMessage(errno, target.text));
    if (model != nullptr) osCloseFile(model);
    return kRunCannotOpen;
  }
  return begin(target, model, &id, nullptr);
}

int32_t Replacement::beginStream(const WalkedPath& target) {
  sideFile_ = false;
  target_ = &target;
  std::snprintf(sidePath_, sizeof sidePath_, "%s", target.text);
  stream_ = osOpenDevice(target);
  if (stream_ == nullptr) {
    ORV_MESSAGE(kMsgCannotOpen, numberMessage(errno, target.text));
    return kRunCannotOpen;
  }
  return kRunOk;
}

void Replacement::write(const char* bytes, size_t length) {
  if (length > 0) osWriteFile(bytes, 1, length, stream_);
}

int32_t Replacement::commit() {
  FILE* stream = stream_;
  stream_ = nullptr;
  int32_t error = errorOf(stream);
  if (!sideFile_) {
    if (osCloseFile(stream) != 0 && error == 0) error = errno != 0 ? errno : EIO;
  } else if (error != 0) {
    osDiscardFile(stream, *target_, sideName_);
  }
  if (error != 0) {
    ORV_MESSAGE(kMsgWriteFailed, numberMessage(error, sidePath_));
    return kRunWriteFailed;
  }
  if (!sideFile_) return kRunOk;
  bool ownerKept = true;
  bool groupKept = true;
  // A new file takes the keystore's entries, not those of its folder; with
  // no model it stays its owner's alone.
  if (model_ != nullptr) {
    error = osAdoptPermissions(stream, model_, !expecting_, &ownerKept, &groupKept);
  }
  if (error == 0 && !(ownerKept && groupKept)) {
    ORV_MESSAGE(kMsgOwnerNotKept,
                textMessage(target_->text, !ownerKept && !groupKept ? "owner and group"
                                           : !ownerKept             ? "owner"
                                                                    : "group"));
  }
  // Read from alone: a failed close loses nothing. Closed before the rename,
  // which Windows refuses over a file this process holds.
  osCloseFile(model_);
  model_ = nullptr;
  if (error != 0) {
    osDiscardFile(stream, *target_, sideName_);
  } else {
    error = osCommitFile(stream, *target_, sideName_, expecting_ ? &expected_ : nullptr);
  }
  if (error == ECANCELED) {
    ORV_MESSAGE(kMsgFileChanged, textMessage(target_->text));
    return kRunFileChanged;
  }
  if (error == EBUSY) {
    ORV_MESSAGE(kMsgFileInUse, textMessage(target_->text));
    return kRunFileInUse;
  }
  if (error != 0) {
    ORV_MESSAGE(kMsgReplaceFailed, numberMessage(error, target_->text));
    return kRunReplaceFailed;
  }
  return kRunOk;
}
