// The protection run: reads the command line, settles the keystore file and
// the initial key, and writes the keystore's lines, protected, into a side
// file that then replaces the keystore (or the -o file).
#include "cmd/orv/orvseal.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "cmd/orv/options.h"
#include "cmd/shell/keystore.h"
#include "cmd/shell/replacement.h"
#include "cmd/shell/rewriter.h"
#include "cmd/shell/shell.h"
#include "lib/orv/keystore_line.h"
#include "platform/files.h"
#include "platform/trace.h"

namespace {

// Everything the run keeps from start to end.
struct RunState {
  CommandOptions options;
  Keystore keystore;
  WalkedPath output;      // the -o file's folder, held, when it is another file
  InitialKey initialKey;  // wiped when the run ends
  Protection protection;
};

// Reads the command line and checks the algorithm.
int32_t readCommandLine(RunState& run, int32_t argc, char** argv) {
  if (argc <= 1) return kRunOk;
  if (parseArguments(argc, argv, &run.options) != 0) {
    if (run.options.argumentIndex != 0) {
      ORV_MESSAGE(kMsgBadOption, textMessage(argv[run.options.argumentIndex], "orvseal"));
    }
    ORV_MESSAGE(kMsgUsage, messageRecord());
    return kRunBadCommandLine;
  }
  if (run.options.algorithm != 1 && run.options.algorithm != 2) {
    ORV_RUN_TRACE(0, "Supplied algorithm %d was smaller than 0 or larger than the latest %d",
                  run.options.algorithm, 2);
    ORV_MESSAGE(kMsgUsage, messageRecord());
    return kRunBadCommandLine;
  }
  return kRunOk;
}

// Starts the output. The keystore is replaced, or the -o file when it names
// another file (an -o that names the keystore under another text, a
// relative path, another case or a link, is the keystore itself). An -o
// that is no regular file (a pipe, a terminal, /dev/null) is written
// straight; a new -o file gets no wider permissions than the keystore. Each
// file is walked to once, and replaced only while its name in the held
// folder still holds it, unchanged.
int32_t beginOutput(RunState& run, Replacement& output) {
  Keystore& keystore = run.keystore;
  const char* outputFile = run.options.outputFile;
  FileId id;
  bool exists = false;
  if (outputFile != nullptr && std::strcmp(outputFile, keystore.path) != 0) {
    int32_t code = walkForWriting(outputFile, &run.output);
    if (code != kRunOk) return code;
    // A failed test is no proof of two files: the run stops.
    int32_t error = osIdentifyAt(run.output, &id, &exists);
    if (error != 0) {
      ORV_MESSAGE(kMsgCannotOpen, numberMessage(error, outputFile));
      return kRunCannotOpen;
    }
  }
  if (outputFile == nullptr || (exists && id.sameFile(keystore.id)) ||
      std::strcmp(outputFile, keystore.path) == 0) {
    FILE* model = std::exchange(keystore.file, nullptr);
    return output.begin(keystore.where, model, &keystore.id, keystore.path);
  }
  return output.beginFile(run.output, std::exchange(keystore.file, nullptr));
}

// What the rewrite found besides its result.
struct Rewritten {
  bool changed = false;    // a line protected or dropped, or a line end added
  int64_t heldBack = 0;    // plaintext credentials left behind a YES flag
  const char* keystorePath = nullptr;  // for the messages about its lines
};

// Writes every line of the keystore, protected, until the first failure,
// and notes what the rewrite changes and leaves behind.
int32_t rewriteLines(RunState& run, Replacement& output, Rewritten* rewritten) {
  rewritten->keystorePath = run.keystore.path;
  KeystoreWriter notes;
  notes.state = rewritten;
  notes.ownLine = [](void* state, TextOutput&, const KeystoreLine& line, bool*) {
    auto* found = static_cast<Rewritten*>(state);
    if (lineAction(line) == LineAction::kKeepHeldBack) {
      ORV_LINE_MESSAGE(kMsgPlaintextBehindFlag, found->keystorePath, line);
      ++found->heldBack;
    }
    found->changed = found->changed || rewriteChanges(line);
    return int32_t{0};
  };
  return rewriteKeystore(output, run.protection, run.keystore.text, run.keystore.length,
                         notes);
}

// The protection itself, from a started run to the success message.
int32_t protect(int32_t argc, char** argv) {
  RunState run;
  int32_t result = readCommandLine(run, argc, argv);
  if (result == kRunOk) result = locateKeystore(run.options.keystoreFile, &run.keystore);
  if (result == kRunOk) result = readKeystore(&run.keystore);
  if (result == kRunOk) result = settleInitialKey(run.keystore, run.options.initialKeyFile,
                                                  &run.initialKey);
  if (result == kRunOk) {
    result = startProtection(run.initialKey, run.options.algorithm, &run.protection);
  }
  Rewritten rewritten;
  if (result == kRunOk) {
    Replacement output;
    result = beginOutput(run, output);
    if (result == kRunOk) result = rewriteLines(run, output, &rewritten);
    // A keystore that its protected text equals is left as it is: same
    // file, times, links and owner; the side file goes.
    bool nothingToDo = !rewritten.changed && output.replacesKeystore();
    if (result == kRunOk && !nothingToDo) result = output.commit();
  }
  if (result == kRunOk) {
    // The closing words never say "protected" of a plaintext left behind.
    std::string outcome = "are protected";
    if (rewritten.heldBack > 0) {
      outcome += ", except " + std::to_string(rewritten.heldBack) +
                 " left in plaintext behind flag lines that say YES (ORV9110W)";
    }
    ORV_MESSAGE(kMsgProtected, textMessage(run.keystore.path, outcome.c_str()));
  }
  return result;
}

constexpr Program kOrvseal = {"orvseal", "cmd/orv/orvseal", kRunFunctionNumber, protect};

}  // namespace

int32_t orvsealMain(int32_t argc, char** argv) { return runProgram(kOrvseal, argc, argv); }
