// The protection run driven in process. Fault sweeps: every allocation and every file
// operation of a run fails in turn (or, with failAfter, every one from the
// Nth on), in each way the run can be set up. Each time the run must fail
// cleanly or complete: a non-zero result comes with an error message and
// leaves the keystore byte for byte as before, success leaves it completely
// protected under the right key (read back, value by value), no block is
// leaked, no side file is left, and no secret reaches the trace or, in
// plaintext, an output. Then the failures that no user can cause from
// outside: the services' start and the PBE service.
#include <gtest/gtest.h>

#ifndef _WIN32  // the POSIX cases below send signals and give links to other owners
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cmd/orv/orvseal.h"
#include "lib/orv/keystore_line.h"
#include "lib/orvcred/include/orvcred.h"
#include "platform/memory.h"
#include "platform/messages.h"
#include "platform/files.h"
#include "platform/pbe.h"
#include "platform/program.h"
#include "platform/seams.h"
#include "testing/test_hooks.h"
#include "testing/env_var.h"
#include "testing/scratch_dir.h"

namespace {

const char kKeystore[] =
    "# keystore\n"
    "pem.keystore = /etc/server.pem\n"
    "pem.password = secret-one\n"
    "crl.ldap.pass = secret-two\n"
    "other = value\n";

const char kFileKey[] = "fault sweep key";
const char kStanzaKey[] = "the stanza's key";
const char kEnvironmentKey[] = "the environment's key";

// What a sweep must never find outside the keystore file as it was.
const char* const kSecrets[] = {"secret-one", "secret-two", kFileKey, kStanzaKey,
                                kEnvironmentKey};

// Runs the command in process as the process would, from a clean start.
int32_t runOrvseal(std::vector<std::string> args) {
  args.insert(args.begin(), "orvseal");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return orvsealMain(static_cast<int32_t>(args.size()), argv.data());
}

enum class KeySource { kOption, kEnvironment, kStanza, kDefault };

struct Scenario {
  const char* name;
  KeySource key;
  bool direct = false;     // -o names another file
  bool tracing = false;    // VKT_TRACE names a trace file
  bool longLines = false;  // a keystore of very long lines
  bool failAfter = false;  // every counted call from the Nth on fails
  uint32_t sites = kFaultAlloc | kFaultFileOps;
  int32_t error = 0;  // errno of a failing file operation; 0 is EIO
};

class FaultSweepTest : public ::testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override {
    // The sweeps check what faults do, not the key derivation's strength.
    pbeSetIterationsForTesting(1000);
    const Scenario& scenario = GetParam();
    // The stanza names the key file for the stanza's scenario; for the
    // environment's, it names another key that the run must not use.
    if (scenario.key == KeySource::kStanza || scenario.key == KeySource::kEnvironment) {
      extraLines.push_back("orvcred.keyfile = " + stanzaKeyFile);
    }
    if (scenario.longLines) {
      // Lines far longer than any buffer a reader might have chosen.
      extraLines.push_back("# " + std::string(200000, 'c'));
      extraLines.push_back("long.value = " + std::string(3000, 'v'));
    }
    original = kKeystore;
    for (const std::string& line : extraLines) original += line + "\n";
    setEnvironmentVariable("VKT_ORVCRED_KEYFILE",
                scenario.key == KeySource::kEnvironment ? environmentKeyFile.c_str() : nullptr);
    setEnvironmentVariable("VKT_TRACE", scenario.tracing ? trace.c_str() : nullptr);
  }

  void TearDown() override {
    setEnvironmentVariable("VKT_ORVCRED_KEYFILE", nullptr);
    setEnvironmentVariable("VKT_TRACE", nullptr);
    pbeSetIterationsForTesting(0);
  }

  int32_t runOnce() {
    std::vector<std::string> args = {"-f", keystore};
    if (GetParam().key == KeySource::kOption) args.insert(args.end(), {"-sf", keyFile});
    if (GetParam().direct) args.insert(args.end(), {"-o", output});
    return runOrvseal(args);
  }

  // The keystore with every credential protected under the run's key, read
  // back as a consumer of the library reads it: the flag lines added, every
  // other line as it was, each value giving its plaintext.
  ::testing::AssertionResult completelyProtected(const std::string& path) {
    std::string text = readFile(path);
    std::string shape;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
      end = text.find('\n', start);
      if (end == std::string::npos) end = text.size() - 1;
      std::string line = text.substr(start, end - start);
      shape += line.substr(0, line.find(std::string(" = ") + kProtectedMarker)) + "\n";
    }
    std::string want =
        "# keystore\npem.keystore = /etc/server.pem\npem.encrypted = YES\npem.password\n"
        "crl.encrypted = YES\ncrl.ldap.pass\nother = value\n";
    for (const std::string& line : extraLines) want += line + "\n";
    if (shape != want || text.back() != '\n') {
      return ::testing::AssertionFailure() << "not the protected shape:\n" << text;
    }
    const char* const keyFiles[] = {keyFile.c_str(), environmentKeyFile.c_str(),
                                    stanzaKeyFile.c_str(), nullptr};
    orvcred_keystore* handle = nullptr;
    int rc = orvcred_open(path.c_str(), keyFiles[static_cast<int>(GetParam().key)], &handle);
    for (auto [key, plaintext] : {std::pair{"pem.password", "secret-one"},
                                  std::pair{"crl.ldap.pass", "secret-two"}}) {
      char* value = nullptr;
      size_t length = 0;
      if (rc == 0) rc = orvcred_get(handle, key, &value, &length);
      if (rc == 0 && std::string(value, length) != plaintext) rc = -1;
      orvcred_free_value(value);
    }
    orvcred_close(handle);
    if (rc != 0) return ::testing::AssertionFailure() << "values read back with " << rc;
    return ::testing::AssertionSuccess();
  }

  ::testing::AssertionResult noSecretIn(const std::string& path) {
    std::string text = readFile(path);
    for (const char* secret : kSecrets) {
      if (text.find(secret) != std::string::npos) {
        return ::testing::AssertionFailure() << "'" << secret << "' in " << path;
      }
    }
    return ::testing::AssertionSuccess();
  }

  static bool errorShown() {
    return std::any_of(shownMessages().begin(), shownMessages().end(),
                       [](const ShownMessage& message) { return (message.number >> 28) == 2; });
  }

  ScratchDir dir;
  std::string keystore = dir.file("keystore.conf"), output = dir.file("out.conf"),
              trace = dir.file("trace.log");
  std::string keyFile = dir.write("initial.key", std::string(kFileKey) + "\n"),
              stanzaKeyFile = dir.write("stanza.key", kStanzaKey),
              environmentKeyFile = dir.write("environment.key", kEnvironmentKey);
  std::vector<std::string> extraLines;  // after the keystore's own lines
  std::string original;
};

TEST_P(FaultSweepTest, EveryFaultPointLeavesTheKeystoreWhole) {
  const Scenario& scenario = GetParam();
  int64_t blocksBefore = memoryBlocksOutstanding();
  int faultPoints = 0;
  bool completed = false;
  for (uint64_t n = 1; n < 1000 && !completed; ++n) {
    SCOPED_TRACE("fault point " + std::to_string(n));
    ASSERT_EQ(dir.write("keystore.conf", original), keystore);
    dir.write("out.conf", "");
    // A side file whose removal was made to fail stays, as it would for a
    // user; the next run takes another name, and the sweep clears them.
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      if (entry.path().extension() == ".bak") std::filesystem::remove(entry.path());
    }
    dir.write("trace.log", "");
    clearObservations();
    int64_t liveBefore = pbeLiveContexts();
    faultArm(FaultPlan{scenario.sites, n, scenario.failAfter, -1, scenario.error});
    int32_t code = runOnce();
    bool fired = faultFired();
    faultDisarm();

    EXPECT_EQ(memoryBlocksOutstanding(), blocksBefore) << "blocks leaked";
    EXPECT_EQ(pbeLiveContexts(), liveBefore) << "a master key was not wiped";
    EXPECT_FALSE(fileExists(keystore + ".bak")) << "side file left behind";
    EXPECT_TRUE(noSecretIn(trace));
    if (scenario.tracing && !scenario.failAfter) {
      // Tracing itself never fails the run, so the run's end is traced.
      EXPECT_NE(readFile(trace).find("protectionRun(370) EXIT rc="), std::string::npos);
    }
    if (scenario.direct) {
      EXPECT_EQ(readFile(keystore), original) << "-o leaves the keystore alone";
      if (code == 0) {
        EXPECT_TRUE(completelyProtected(output));
      } else {
        EXPECT_TRUE(noSecretIn(output)) << "a failed run leaves no plaintext behind";
      }
    } else if (code == 0) {
      EXPECT_TRUE(completelyProtected(keystore));
    } else {
      // Every failure message of the run says the keystore is unchanged.
      EXPECT_EQ(readFile(keystore), original);
    }
    if (!fired) {
      EXPECT_EQ(code, 0);
      completed = true;
      break;
    }
    ++faultPoints;
    if (code != 0) {
      EXPECT_TRUE(errorShown()) << "result " << code << " without an error message";
    }
  }
  EXPECT_TRUE(completed) << "the sweep ends with a run that meets no fault";
  EXPECT_GT(faultPoints, 5);
  RecordProperty("fault_points", faultPoints);
  std::printf("[ sweep    ] %s: %d fault points\n", scenario.name, faultPoints);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, FaultSweepTest,
    ::testing::Values(
        Scenario{.name = "SideFileKeyFromOption", .key = KeySource::kOption},
        Scenario{.name = "DirectOutput", .key = KeySource::kOption, .direct = true},
        Scenario{.name = "KeyFromStanza", .key = KeySource::kStanza},
        Scenario{.name = "KeyFromEnvironment", .key = KeySource::kEnvironment},
        Scenario{.name = "DefaultKey", .key = KeySource::kDefault},
        Scenario{.name = "Tracing", .key = KeySource::kStanza, .tracing = true},
        Scenario{.name = "LongLines", .key = KeySource::kOption, .longLines = true},
        // What a full disk breaks; a delete still works there.
        Scenario{.name = "DiskFullFromNOn", .key = KeySource::kOption, .failAfter = true,
                 .sites = kFaultWrite | kFaultFlush | kFaultClose, .error = ENOSPC},
        Scenario{.name = "FilesFailFromNOn", .key = KeySource::kStanza, .failAfter = true,
                 .sites = kFaultFileOps & ~kFaultDelete, .error = EIO},
        Scenario{.name = "NoMemoryFromNOn", .key = KeySource::kStanza, .failAfter = true,
                 .sites = kFaultAlloc},
        Scenario{.name = "DirectOutputFromNOn", .key = KeySource::kOption, .direct = true,
                 .tracing = true, .failAfter = true, .error = EACCES}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

class RunTest : public ::testing::Test {
 protected:
  int32_t protectKeystore() { return runOrvseal({"-f", keystore, "-sf", keyFile}); }
  bool keystoreUnchanged() const { return readFile(keystore) == kKeystore; }

  ScratchDir dir;
  std::string keystore = dir.write("keystore.conf", kKeystore);
  std::string keyFile = dir.write("initial.key", "unit test key\n");
};

// Failures of the services that no user can cause: the run ends with the
// failure's code (a result beyond 8 bits exits with 255), says so where it
// can, and touches no file.
TEST_F(RunTest, FailedServicesEndTheRunAndTouchNoFile) {
  struct Case { FaultSite site; int32_t error, exit; const char* console; uint32_t message; };
  const Case cases[] = {
      {kFaultCheckConsistency, 1, 20, "", 0},
      {kFaultInitialize, kInitNoMemory, 255, "svcMiniInitialize failed: 536895543\n", 0},
      {kFaultPbeInit, kPbeCryptoFailure, kPbeCryptoFailure, "", kMsgPbeFailed},
  };
  for (const Case& c : cases) {
    clearObservations();
    faultArm(FaultPlan{c.site, 1, false, -1, c.error});
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(protectKeystore(), c.exit);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.console);
    ASSERT_EQ(shownMessages().size(), c.message != 0 ? 1u : 0u);
    for (const ShownMessage& shown : shownMessages()) EXPECT_EQ(shown.number, c.message);
    EXPECT_TRUE(keystoreUnchanged());
    EXPECT_FALSE(fileExists(keystore + ".bak"));
  }
}

// An -o file is written whole or not at all: a failure leaves no part of it.
TEST_F(RunTest, FailedProtectionLeavesNoOutputFile) {
  std::string output = dir.file("out.conf");
  faultArm(FaultPlan{kFaultPbeSave, 2, false, -1, kPbeRandomFailure});
  EXPECT_EQ(runOrvseal({"-f", keystore, "-o", output, "-sf", keyFile}), kPbeRandomFailure);
  EXPECT_TRUE(keystoreUnchanged());
  EXPECT_FALSE(fileExists(output));
}

// Another user who can write the keystore's folder changes what a name leads
// to while a run works (at the step `when`): the run replaces the file it
// read, or nothing, and never touches the other user's choice.
std::function<void()> swapInFolder;
const char* swapWhen = "";

TEST_F(RunTest, AFolderChangedDuringTheRunSteersNothing) {
  platformSeams.stepReached = [](const char* step) {
    if (swapInFolder && std::strcmp(step, swapWhen) == 0) std::exchange(swapInFolder, nullptr)();
  };
  const std::string real = dir.file("real.conf"), link = dir.file("link.conf"),
                    other = dir.file("other.conf"), moved = dir.file("moved.conf");
  const std::string theirs = "pem.password = chosen by them\n";
  struct Case { const char* name; const char* when; std::string target; int32_t code; };
  const Case cases[] = {
      {"the link turned to another file after the read", "opened", link, 0},
      {"another file put in the keystore's place", "commit", real, 25},
      {"another file put in the -o file's place", "commit", other, 25},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(link);
    std::filesystem::remove(moved);
    dir.write("real.conf", kKeystore);
    dir.write("other.conf", "");
    // mingw's library makes no symbolic links: there the keystore is named itself.
    std::error_code noLinks;
    std::filesystem::create_symlink(real, link, noLinks);
    if (noLinks && c.target == link) continue;
    swapWhen = c.when;
    swapInFolder = [&] {
      if (c.target == link) {
        std::filesystem::remove(link);
        std::filesystem::create_symlink(other, link);
      } else {
        std::filesystem::rename(c.target, moved);
        dir.write(c.target == real ? "real.conf" : "other.conf", theirs);
      }
    };
    std::vector<std::string> args = {"-f", noLinks ? real : link, "-sf", keyFile};
    if (c.target == other) args.insert(args.end(), {"-o", other});
    EXPECT_EQ(runOrvseal(args), c.code);
    EXPECT_FALSE(swapInFolder) << "the step was reached";
    if (c.code == 0) {
      EXPECT_NE(readFile(real).find("pem.password = <ORV>"), std::string::npos);
      EXPECT_EQ(readFile(other), "") << "the other file is untouched";
    } else {
      EXPECT_EQ(readFile(c.target), theirs);
      EXPECT_EQ(readFile(moved), c.target == real ? kKeystore : "");
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      EXPECT_NE(entry.path().extension(), ".bak") << "no side file left";
    }
  }
  platformSeams.stepReached = nullptr;
}

// A keystore changed in place while the run works (a line appended): the
// run replaces nothing, so the line is not lost.
TEST_F(RunTest, AKeystoreChangedDuringTheRunIsNotReplaced) {
  static std::string appendTo;
  appendTo = keystore;
  platformSeams.stepReached = [](const char* step) {
    if (appendTo.empty() || std::strcmp(step, "commit") != 0) return;
    std::FILE* file = std::fopen(appendTo.c_str(), "ab");
    ASSERT_NE(file, nullptr);
    std::fputs("pem.password.added = while it ran\n", file);
    std::fclose(file);
    appendTo.clear();
  };
  EXPECT_EQ(protectKeystore(), 25);
  platformSeams.stepReached = nullptr;
  EXPECT_EQ(readFile(keystore), std::string(kKeystore) + "pem.password.added = while it ran\n");
}

// Another user who may write a folder on the path swaps that folder, or the
// last name itself, with a link of theirs to a copy of the tree that they
// made, at every step from the walk to the commit. The run protects the
// file it read, where that file went, or refuses; nothing in their tree is
// read, written or removed, and no side file is left anywhere.
TEST_F(RunTest, APathSwappedDuringTheRunSteersNothing) {
  namespace fs = std::filesystem;
  static std::string swapFrom, swapTo;
  static const char* swapAt = "";
  static bool swapped = false;
  static bool moved = false;
  platformSeams.stepReached = [](const char* step) {
    if (swapFrom.empty() || std::strcmp(step, swapAt) != 0) return;
    std::error_code error;
    // Windows refuses to rename a folder that the run holds: then nothing
    // moves. (Wine allows it, and mingw's library makes no links.)
    fs::rename(swapFrom, swapFrom + ".moved", error);
    moved = !error;
    if (moved) fs::create_symlink(swapTo, swapFrom, error);
    swapped = moved && !error;
#ifndef _WIN32
    // Root's tests give the link to another account, as that user would own it.
    if (swapped && geteuid() == 0) {
      EXPECT_EQ(lchown(swapFrom.c_str(), 1234, 1234), 0);
    }
#endif
    swapFrom.clear();
  };
  const std::string theirs = "pem.password = chosen by them\n";
  for (bool toOutput : {false, true}) {
    const std::string target = toOutput ? "a/b/out.conf" : "a/b/ks.conf";
    for (const char* step : {"walked", "opened", "commit"}) {
      for (const std::string& level : {target, std::string("a/b"), std::string("a")}) {
        SCOPED_TRACE(std::string(step) + " " + level + (toOutput ? " with -o" : ""));
        std::error_code ignored;
        for (const char* tree : {"a", "a.moved", "evil"}) fs::remove_all(dir.file(tree), ignored);
        fs::create_directories(dir.file("a/b"));
        fs::create_directories(dir.file("evil/a/b"));
        dir.write("a/b/ks.conf", kKeystore);
        dir.write("a/b/out.conf", "");
        dir.write("evil/" + target, theirs);
        swapFrom = dir.file(level);
        swapTo = dir.file("evil/" + level);
        swapAt = step;
        swapped = moved = false;
        std::vector<std::string> args = {"-f", dir.file("a/b/ks.conf"), "-sf", keyFile};
        if (toOutput) args.insert(args.end(), {"-o", dir.file(target)});
        int32_t rc = runOrvseal(args);
        EXPECT_TRUE(swapFrom.empty()) << "the step was reached";
        std::string movedTo = level == target ? target + ".moved" : level + ".moved" +
                                                                        target.substr(level.size());
        std::string original = dir.file(moved ? movedTo : target);
        // The -o file is walked after the keystore is opened.
        bool afterWalk = std::strcmp(step, "commit") == 0 ||
                         (!toOutput && std::strcmp(step, "opened") == 0);
        if (rc == 0) {
          // Moved away before its walk with no link in its place (Wine), the
          // -o name is a new file.
          std::string written = moved && !swapped && !afterWalk ? dir.file(target) : original;
          EXPECT_NE(readFile(written).find("pem.password = <ORV>"), std::string::npos);
        } else {
          EXPECT_EQ(readFile(original), toOutput ? "" : kKeystore);
        }
        // A folder swapped after the target's walk changes nothing: the run
        // goes on in the folder it holds.
        if (level != target && afterWalk && (swapped || !moved)) {
          EXPECT_EQ(rc, 0);
        }
        EXPECT_EQ(readFile(dir.file("evil/" + target)), theirs);
        size_t entries = 0;
        for (const auto& entry : fs::recursive_directory_iterator(dir.file("evil"))) {
          ++entries;
          (void)entry;
        }
        EXPECT_EQ(entries, 3u) << "a, b and their file, nothing else";
        for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
          EXPECT_NE(entry.path().extension(), ".bak") << entry.path();
        }
      }
    }
  }
  platformSeams.stepReached = nullptr;
}

#ifndef _WIN32
// An interruption while the side file exists (here just before the commit)
// removes it and leaves the keystore as it was; the exit code says which
// signal. The run is a child process, since the signal ends it.
TEST_F(RunTest, AnInterruptedRunLeavesNoSideFile) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      static int raised;
      raised = signal;
      platformSeams.stepReached = [](const char* step) {
        if (std::strcmp(step, "commit") == 0) raise(raised);
      };
      protectKeystore();
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + signal);
    EXPECT_TRUE(keystoreUnchanged());
    EXPECT_FALSE(fileExists(keystore + ".bak"));
  }
}
#endif

}  // namespace
