// The protection run: checks and starts the services, reads the command line,
// settles the keystore file and the initial key, and rewrites the keystore
// file line by line into the output or into a side file that then replaces it.
#include "cmd/orv/orvseal.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "cmd/orv/command_records.h"
#include "cmd/orv/options.h"
#include "cmd/orv/rewriter.h"
#include "lib/orv/config_access.h"
#include "lib/orv/config_syntax.h"
#include "lib/orv/param_lookup.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/messages.h"
#include "platform/pbe.h"
#include "platform/program.h"
#include "platform/return_code.h"
#include "platform/runtime.h"
#include "platform/trace.h"

namespace {

constexpr int32_t kPathBufferSize = 261;
constexpr int32_t kLineBufferSize = 512;
constexpr size_t kReadChunkSize = 64 * 1024;
// The output stream's buffer: a sixteenth of the write calls that the
// default 4 KiB buffer makes.
constexpr size_t kWriteBufferSize = 64 * 1024;
constexpr int32_t kLineProbe = 370;
// Names tried for the side file when "<path>.bak" is taken: "<path>.1.bak"
// and on; a file that this run did not create is never touched.
constexpr int kSideFileNamesTried = 100;
// The longest key that a message shows.
constexpr size_t kShownKeySize = 256;

#define ORV_RUN_TRACE(detail, ...) ORV_TRACE_TEXT(kRunFunctionNumber, (detail), __VA_ARGS__)

// Formatted output to standard output, as printf.
int consolePrintf(const char* format, ...) ORV_PRINTF_FORMAT(1, 2);
int consolePrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int written = std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
  return written;
}

// Bounded formatted output into a buffer, as snprintf, but a negative result
// is always -1.
int boundedPrintf(char* buffer, size_t size, const char* format, ...) ORV_PRINTF_FORMAT(3, 4);
int boundedPrintf(char* buffer, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int written = std::vsnprintf(buffer, size, format, args);
  va_end(args);
  return written < 0 ? -1 : written;
}

// Reads the keystore file one line at a time, each line whole however long
// it is, with its newline (when it has one) and a terminating NUL. The line
// buffer is reused from line to line and grows only for a longer line.
class LineReader {
 public:
  explicit LineReader(FILE* stream) : stream_(stream) {}
  ~LineReader() {
    svcFreeMem(0, kMemoryComponent, 0, chunk_);
    svcFreeMem(0, kMemoryComponent, 0, line_);
  }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  enum Status { kLine, kEnd, kReadError, kNoMemory };

  // The next line into line() and length(). A read error leaves errno in
  // error().
  Status next() {
    length_ = 0;
    if (chunk_ == nullptr && !obtain(reinterpret_cast<void**>(&chunk_), kReadChunkSize, __LINE__)) {
      return kNoMemory;
    }
    if (line_ == nullptr && !grow(kLineBufferSize)) return kNoMemory;
    for (;;) {
      if (position_ == filled_) {
        if (atEnd_) return length_ > 0 ? terminateLast() : kEnd;
        filled_ = osReadFile(chunk_, 1, kReadChunkSize, stream_);
        position_ = 0;
        if (filled_ < kReadChunkSize) {
          if (osFileError(stream_)) {
            error_ = errno != 0 ? errno : EIO;
            return kReadError;
          }
          atEnd_ = true;
        }
        continue;
      }
      const char* start = chunk_ + position_;
      size_t available = filled_ - position_;
      const void* newline = std::memchr(start, '\n', available);
      size_t take = newline != nullptr
                        ? static_cast<size_t>(static_cast<const char*>(newline) - start) + 1
                        : available;
      if (length_ + take + 1 > capacity_ && !grow(length_ + take + 1)) return kNoMemory;
      std::memcpy(line_ + length_, start, take);
      length_ += take;
      position_ += take;
      if (newline != nullptr) {
        ++lineCount_;
        crlf_ = length_ >= 2 && line_[length_ - 2] == '\r';
        return terminate();
      }
    }
  }

  char* line() { return line_; }
  size_t length() const { return length_; }
  int32_t error() const { return error_; }

 private:
  Status terminate() {
    line_[length_] = '\0';
    return kLine;
  }

  // A last line without a line end is given the one of the line before it,
  // or the platform's when it is the only line.
  Status terminateLast() {
    const char* ending = lineCount_ == 0 ? kLineEnd : crlf_ ? "\r\n" : "\n";
    size_t endingLength = std::strlen(ending);
    if (length_ + endingLength + 1 > capacity_ && !grow(length_ + endingLength + 1)) return kNoMemory;
    std::memcpy(line_ + length_, ending, endingLength);
    length_ += endingLength;
    return terminate();
  }

  bool obtain(void** block, size_t size, int32_t sourceLine) {
    *block = obtainOrRecord(kLineProbe, size, kCommandSourceName, sourceLine);
    return *block != nullptr;
  }

  bool grow(size_t needed) {
    size_t capacity = capacity_ == 0 ? static_cast<size_t>(kLineBufferSize) : capacity_;
    while (capacity < needed) capacity *= 2;
    char* larger = nullptr;
    if (!obtain(reinterpret_cast<void**>(&larger), capacity, __LINE__)) return false;
    if (length_ > 0) std::memcpy(larger, line_, length_);
    svcFreeMem(0, kMemoryComponent, 0, line_);
    line_ = larger;
    capacity_ = capacity;
    return true;
  }

  FILE* stream_;
  char* chunk_ = nullptr;
  size_t filled_ = 0;
  size_t position_ = 0;
  bool atEnd_ = false;
  char* line_ = nullptr;
  size_t capacity_ = 0;
  size_t length_ = 0;
  int32_t error_ = 0;
  int64_t lineCount_ = 0;
  bool crlf_ = false;
};

// Everything the run keeps from start to end.
struct RunState {
  CommandOptions options;
  char keystorePathBuffer[kPathBufferSize] = {};
  unsigned char salt[kSaltLength] = {};
  InitialKey initialKey;  // wiped when the run ends
  PbeContext context = {};
  bool pbeReady = false;
  char replacedPath[kPathBufferSize] = {};  // the file that the side file replaces, links followed
  char sideFileName[kPathBufferSize] = {};
  const char* keystorePath = nullptr;
  const char* outputPath = nullptr;
  const char* permissionModel = nullptr;  // the file whose permissions the output takes
  bool sideFileMode = true;  // false: written straight to an -o that is no regular file
  FILE* input = nullptr;
  FILE* output = nullptr;
  char outputBuffer[kWriteBufferSize];  // the output stream's, until it is closed
  int32_t result = kRunOk;

  ~RunState() {
    osSecureWipe(outputBuffer, sizeof outputBuffer);
    osSecureWipe(&context, sizeof context);
  }
};

// Starts the services and shows the copyright line. Returns the run's result.
int32_t startServices() {
  int32_t code = svcInitialize(kServicesLevel, kServicesWanted, 0, 0, nullptr, nullptr, nullptr,
                               &commandSubpool);
  if (code == 0) {
    svcDisplayCopyright();
    configMessagesEnabled = 0;
    return kRunOk;
  }
  consolePrintf("svcMiniInitialize failed: %d\n", code);
  if (code == kInitNoMemory) return kRunInitNoMemory;
  if (code == kInitBadLevel) return kInitBadLevel;
  return svcProcessAnchor.status == kAnchorStatusUnavailable ? kAnchorStatusUnavailable
                                                             : kRunInitFailed;
}

// Reads the command line and checks the algorithm.
int32_t readCommandLine(RunState& run, int32_t argc, char** argv) {
  if (argc <= 1) return kRunOk;
  if (parseArguments(argc, argv, &run.options) != 0) {
    if (run.options.argumentIndex != 0) {
      ORV_COMMAND_MESSAGE(kMsgBadOption, textMessage(argv[run.options.argumentIndex], "orvseal"));
    }
    ORV_COMMAND_MESSAGE(kMsgUsage, messageRecord());
    return kRunBadCommandLine;
  }
  if (run.options.algorithm != 1 && run.options.algorithm != 2) {
    ORV_RUN_TRACE(0, "Supplied algorithm %d was smaller than 0 or larger than the latest %d",
                  run.options.algorithm, 2);
    ORV_COMMAND_MESSAGE(kMsgUsage, messageRecord());
    return kRunBadCommandLine;
  }
  return kRunOk;
}

// Settles which file to protect: -f, else the located keystore file.
int32_t locateKeystore(RunState& run) {
  if (run.options.keystoreFile != nullptr) {
    run.keystorePath = run.options.keystoreFile;
    ORV_RUN_TRACE(0, "Using keystore: '%s' from command line\n", run.keystorePath);
    return kRunOk;
  }
  int32_t code = findConfigFilePath(run.keystorePathBuffer, "VKT_KEYSTORE_CONF", "keystore.conf");
  if (code != 0) {
    ORV_RUN_TRACE(0, "Cannot get config file path");
    if (code == kConfigPathTooLong) {
      bool fromVariable = svcGetEnv("VKT_KEYSTORE_CONF") != nullptr;
      ORV_COMMAND_MESSAGE(kMsgPathDoesNotFit,
                          textMessage(fromVariable ? "VKT_KEYSTORE_CONF" : "the home directory"));
    }
    return code;
  }
  run.keystorePath = run.keystorePathBuffer;
  ORV_RUN_TRACE(0, "Using keystore: '%s' from ORV standard search\n", run.keystorePath);
  return kRunOk;
}

// Why the keystore's bytes are no text of its form, reported; kRunOk when
// they are. `firstLine` is the number of the first line checked.
int32_t reportTextProblem(const RunState& run, const TextCheck& check, int64_t firstLine) {
  if (check.problem == TextProblem::kNone) return kRunOk;
  MessageRecord record = numberMessage(firstLine - 1 + check.line, run.keystorePath);
  ORV_COMMAND_MESSAGE(textProblemMessage(check.problem), record);
  return kRunNotText;
}

// A path that must name a regular file (links followed): a folder, device
// or pipe is refused before it is opened, never waited on.
bool isRegularOrMissing(const char* path) {
  FileKind kind = FileKind::kMissing;
  if (osFileKind(path, &kind) != 0 || kind != FileKind::kOther) return true;
  ORV_COMMAND_MESSAGE(kMsgNotRegularFile, textMessage(path));
  return false;
}

// Proves the keystore file readable as a whole, and text of the
// form the rewriter can keep byte for byte.
int32_t proveReadable(RunState& run) {
  if (!isRegularOrMissing(run.keystorePath)) return kConfigCannotRead;
  char* text = nullptr;
  int32_t error = 0;
  size_t size = 0;
  int32_t code = readConfigFile(run.keystorePath, &text, &error, &size);
  int32_t textResult = code == 0 ? reportTextProblem(run, checkConfigText(text, size, true), 1)
                                 : kRunOk;
  if (text != nullptr) svcFreeMem(0, kMemoryComponent, 0, text);
  if (code == 0) return textResult;
  ORV_RUN_TRACE(2, "Cannot read config file '%s'", run.keystorePath);
  ORV_COMMAND_MESSAGE(kMsgCannotReadConfig, textMessage(run.keystorePath));
  if (error != 0) traceErrorNumber(kRunFunctionNumber, 2, "", error);
  return code;
}

// Settles the initial key by the rule that every reader of a keystore
// shares (lib/orvcred/initial_key.h): -sf, else VKT_ORVCRED_KEYFILE, else
// orvcred.keyfile, else the default key; and reports what it chose or why
// it could not.
int32_t settleInitialKey(RunState& run) {
  InitialKey& key = run.initialKey;
  int32_t code = chooseInitialKey(run.keystorePath, run.options.initialKeyFile, &key);
  if (key.source != InitialKeySource::kExplicit) {
    ORV_RUN_TRACE(0, "No keyfile from command line. Looking for env var");
  }
  if (key.source == InitialKeySource::kKeystore || key.source == InitialKeySource::kDefault) {
    ORV_RUN_TRACE(0, "No keyfile from env var. Looking in keystore config file");
  }
  if (key.source == InitialKeySource::kKeystore &&
      (code == kConfigCannotRead || code == kConfigNoMemory)) {
    // The file names a key file that cannot be used, or the lookup itself
    // failed: the default key would protect the values with a key that
    // anyone who has this program holds.
    ORV_RUN_TRACE(0, "Failed to read orvcred parameter %s.", "orvcred.keyfile");
    MessageRecord record = textMessage(run.keystorePath, "orvcred.keyfile");
    record.numericInsert1 = static_cast<uint64_t>(key.keystoreEntryLine);
    int32_t fault = key.keystoreEntryFault != 0 ? key.keystoreEntryFault : code;
    uint32_t message = fault == kConfigCannotParse     ? kMsgKeyFileLineUnreadable
                       : fault == kConfigParamNotUnique ? kMsgDuplicateParam
                       : fault == kConfigNoMemory       ? kMsgNoMemory
                                                        : kMsgCannotReadConfig;
    if (fault == kConfigPathTooLong) {
      message = kMsgPathDoesNotFit;
      record = textMessage("orvcred.keyfile");
    }
    ORV_COMMAND_MESSAGE(message, record);
    return fault;
  }
  if (code != 0) {
    const char* keyFile = key.keyFilePath != nullptr ? key.keyFilePath : "";
    ORV_RUN_TRACE(0, "Failed to read initial key from file %s", keyFile);
    FileKind kind = FileKind::kMissing;
    if (code == kPbeKeyFileExposed) {
      ORV_COMMAND_MESSAGE(kMsgKeyFileExposed, textMessage(keyFile));
    } else if (osFileKind(keyFile, &kind) == 0 && kind == FileKind::kOther) {
      ORV_COMMAND_MESSAGE(kMsgNotRegularFile, textMessage(keyFile));
    } else {
      ORV_COMMAND_MESSAGE(kMsgCannotReadKeyFile, textMessage(keyFileBaseName(keyFile)));
    }
    return code;
  }
  if (key.isDefault) {
    ORV_RUN_TRACE(0, "No initial keyfile provided. Using default");
    ORV_COMMAND_MESSAGE(kMsgDefaultKey, messageRecord());
  } else {
    ORV_RUN_TRACE(0, "Using initial key from file '%s'", key.keyFilePath);
  }
  return kRunOk;
}

// Fills the PBE context and derives its master key.
int32_t startProtection(RunState& run) {
  buildSalt(run.salt);
  run.context.algorithm = run.options.algorithm;
  run.context.marker = kProtectedMarker;
  run.context.initialKeyLength = run.initialKey.length;
  run.context.initialKey = run.initialKey.bytes;
  run.context.saltLength = kSaltLength;
  run.context.salt = run.salt;
  int32_t code = svcPbeInit(&run.context);
  if (code != 0) {
    ORV_RUN_TRACE(0, "Failed to Init PBE: %d", code);
    ORV_COMMAND_MESSAGE(kMsgPbeFailed, numberMessage(static_cast<uint32_t>(code)));
    return code;
  }
  run.pbeReady = true;
  return kRunOk;
}

// Settles where the protected text goes. A side file replaces the keystore
// file, or the -o file when it names another file (an -o that names the
// keystore under another text, a relative path, another case or a link, is
// the keystore itself). The side file sits beside the file that a linked
// path points to, so that one rename replaces that file and keeps the link.
// An -o that is no regular file (a pipe, a terminal, /dev/null) is written
// straight.
int32_t chooseOutput(RunState& run) {
  const char* target = run.keystorePath;
  const char* outputFile = run.options.outputFile;
  if (outputFile != nullptr && std::strcmp(outputFile, run.keystorePath) != 0) {
    bool same = false;
    // A failed test is no proof of two files: the run stops.
    int32_t error = osSameFile(outputFile, run.keystorePath, &same);
    if (error != 0) {
      ORV_COMMAND_MESSAGE(kMsgCannotOpen, numberMessage(error, outputFile));
      return kRunCannotOpen;
    }
    if (!same) target = outputFile;
  }
  FileKind kind = FileKind::kMissing;
  int32_t error = osFileKind(target, &kind);
  if (error != 0) {
    ORV_COMMAND_MESSAGE(kMsgCannotOpen, numberMessage(error, target));
    return kRunCannotOpen;
  }
  if (target == outputFile && kind == FileKind::kOther) {
    run.sideFileMode = false;
    run.outputPath = outputFile;
    return kRunOk;
  }
  bool fits = osResolveLinks(target, run.replacedPath, sizeof run.replacedPath) == 0;
  int written = fits ? boundedPrintf(run.sideFileName, kPathBufferSize - 1, "%s.bak",
                                     run.replacedPath)
                     : -1;
  if (written < 0 || written >= kPathBufferSize - 1) {
    ORV_COMMAND_MESSAGE(kMsgPathTooLong, textMessage(target));
    return kRunPathTooLong;
  }
  // The side file takes the place of one name only; the others keep the
  // old text, plaintext credentials and all.
  uint32_t names = 0;
  if (target == run.keystorePath && osLinkCount(run.replacedPath, &names) == 0 && names > 1) {
    MessageRecord record = numberMessage(names, run.keystorePath);
    ORV_COMMAND_MESSAGE(kMsgHardLinks, record);
  }
  // A new -o file gets no wider permissions than the keystore file.
  run.permissionModel = kind == FileKind::kRegular ? run.replacedPath : run.keystorePath;
  run.outputPath = run.sideFileName;
  return kRunOk;
}

// Creates the side file under the first free name: "<path>.bak", else
// "<path>.1.bak" and on.
int32_t createSideFile(RunState& run) {
  for (int attempt = 1; attempt <= kSideFileNamesTried; ++attempt) {
    run.output = osCreatePrivateFile(run.sideFileName, run.permissionModel);
    if (run.output != nullptr || errno != EEXIST) break;
    int written = boundedPrintf(run.sideFileName, kPathBufferSize - 1, "%s.%d.bak",
                                run.replacedPath, attempt);
    if (written < 0 || written >= kPathBufferSize - 1) {
      ORV_COMMAND_MESSAGE(kMsgPathTooLong, textMessage(run.replacedPath));
      return kRunPathTooLong;
    }
  }
  if (run.output == nullptr) {
    ORV_COMMAND_MESSAGE(kMsgCannotOpen, numberMessage(errno, run.sideFileName));
    // No file of this run's is there to remove.
    run.outputPath = nullptr;
    return kRunCannotOpen;
  }
  return kRunOk;
}

// Opens the keystore file and the output.
int32_t openFiles(RunState& run) {
  run.input = osOpenFile(run.keystorePath, "rbN");
  if (run.input == nullptr) {
    ORV_COMMAND_MESSAGE(kMsgCannotOpen, numberMessage(errno, run.keystorePath));
    return kRunCannotOpen;
  }
  if (run.sideFileMode) {
    int32_t result = createSideFile(run);
    if (result != kRunOk) return result;
  } else {
    run.output = osOpenFile(run.outputPath, "wbN");
    if (run.output == nullptr) {
      ORV_COMMAND_MESSAGE(kMsgCannotOpen, numberMessage(errno, run.outputPath));
      return kRunCannotOpen;
    }
  }
  // Without the larger buffer the stream keeps its own; nothing is lost.
  std::setvbuf(run.output, run.outputBuffer, _IOFBF, sizeof run.outputBuffer);
  return kRunOk;
}

// A message about one line, naming the file, the line and its key (never
// its value).
void showLineMessage(const RunState& run, uint32_t number, int64_t lineNumber,
                     const LineNote& note) {
  char key[kShownKeySize];
  size_t length = note.keyLength < sizeof key - 1 ? note.keyLength : sizeof key - 1;
  std::memcpy(key, note.key, length);
  key[length] = '\0';
  MessageRecord record = textMessage(run.keystorePath, key);
  record.numericInsert1 = static_cast<uint64_t>(lineNumber);
  ORV_COMMAND_MESSAGE(number, record);
}

// Hands every line to the rewriter, until the first failure.
int32_t rewriteLines(RunState& run) {
  LineReader reader(run.input);
  int64_t lineNumber = 0;
  for (;;) {
    LineReader::Status status = reader.next();
    if (status == LineReader::kEnd) return kRunOk;
    if (status == LineReader::kNoMemory) {
      ORV_COMMAND_MESSAGE(kMsgNoMemory, messageRecord());
      return kMemoryNoMemory;
    }
    if (status == LineReader::kReadError) {
      ORV_COMMAND_MESSAGE(kMsgReadFailed, numberMessage(reader.error(), run.keystorePath));
      return kRunReadFailed;
    }
    ++lineNumber;
    char* line = reader.line();
    size_t length = reader.length();
    // The whole file was checked before; this catches a file changed since.
    int32_t textResult =
        reportTextProblem(run, checkConfigText(line, length, lineNumber == 1), lineNumber);
    if (textResult != kRunOk) return textResult;
    if (lineNumber == 1) {
      // A byte order mark is kept as it is and is no part of the first key.
      size_t mark = byteOrderMarkLength(line, length);
      osWriteFile(line, 1, mark, run.output);
      line += mark;
    }
    LineNote note;
    int32_t code = rewriteCredentialLine(run.output, &run.context, line, &note);
    if (note.kind == LineNote::kPlaintextBehindFlag) {
      showLineMessage(run, kMsgPlaintextBehindFlag, lineNumber, note);
    }
    if (code == kRewriteWordsBeforeEquals) {
      showLineMessage(run, kMsgWordsBeforeEquals, lineNumber, note);
      return kRunWordsBeforeEquals;
    }
    if (code != 0) return code;
  }
}

// Closes both files, and in side-file mode either removes the side file or
// lets it replace the file it stands for. Output that did not fully reach
// the disk fails the run.
void finishFiles(RunState& run) {
  if (run.input != nullptr) osCloseFile(run.input);
  run.input = nullptr;
  if (run.output == nullptr) return;
  FILE* output = run.output;
  run.output = nullptr;
  int32_t writeError = 0;
  if (run.result == kRunOk) {
    writeError = osFileError(output) ? (errno != 0 ? errno : EIO) : osSyncFile(output);
  }
  if (!run.sideFileMode) {
    int closed = osCloseFile(output);
    if (writeError == 0 && closed != 0) writeError = errno != 0 ? errno : EIO;
  }
  if (writeError != 0) {
    ORV_COMMAND_MESSAGE(kMsgWriteFailed, numberMessage(writeError, run.outputPath));
    run.result = kRunWriteFailed;
  }
  if (!run.sideFileMode) return;
  int32_t error = 0;
  if (run.result == kRunOk) error = osAdoptPermissions(output, run.permissionModel);
  if (run.result != kRunOk || error != 0) {
    osDiscardFile(output, run.outputPath);
  } else {
    error = osCommitFile(output, run.outputPath, run.replacedPath);
  }
  if (error == EBUSY) {
    ORV_COMMAND_MESSAGE(kMsgFileInUse, textMessage(run.replacedPath));
    run.result = kRunFileInUse;
  } else if (error != 0) {
    ORV_COMMAND_MESSAGE(kMsgReplaceFailed, numberMessage(error, run.replacedPath));
    run.result = kRunReplaceFailed;
  }
}

// The protection itself, from a started run to the success message.
int32_t protect(RunState& run, int32_t argc, char** argv) {
  int32_t result = readCommandLine(run, argc, argv);
  if (result == kRunOk) result = locateKeystore(run);
  if (result == kRunOk) result = proveReadable(run);
  if (result == kRunOk) result = settleInitialKey(run);
  if (result == kRunOk) result = startProtection(run);
  if (result == kRunOk) result = chooseOutput(run);
  if (result == kRunOk) {
    run.result = openFiles(run);
    if (run.result == kRunOk) run.result = rewriteLines(run);
    finishFiles(run);
    result = run.result;
  }
  if (run.pbeReady) svcPbeTerm(&run.context);
  if (result == kRunOk) ORV_COMMAND_MESSAGE(kMsgProtected, textMessage(run.keystorePath));
  return result;
}

}  // namespace

int32_t orvsealMain(int32_t argc, char** argv) {
  RunState run;
  commandSubpool = svcMiniSubpool;
  if (svcCheckConsistency(kServicesVersion) != 0) {
    ORV_RUN_TRACE(0, "Environment not configured correctly.");
    return kRunInconsistent;
  }
  svcProgramInit(argc, argv, 0);
  traceEnter(kRunFunctionNumber);
  int32_t result = startServices();
  if (result == kRunOk) result = protect(run, argc, argv);
  rcMapTo8Bit(&result);
  traceLeave(kRunFunctionNumber, result);
  svcProgramTerm(0);
  return result;
}
