// The POSIX file layer: the path walk, the key-file check (a key file that
// group or others may touch in any way is refused before a byte of it is
// read) and a process fit to hold secrets.
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/pbe.h"
#include "platform/runtime.h"
#include "testing/test_hooks.h"
#include "testing/scratch_dir.h"

namespace {

TEST(KeyFilePrivacyTest, OnlyOwnerOnlyModesAreAccepted) {
  ScratchDir scratch;
  std::string path = scratch.write("initial.key", "key\n");
  // A file of root's may let its group read it; one of another caller's not.
  const int32_t groupRead = geteuid() == 0 ? 0 : kPbeKeyFileExposed;
  struct Case { mode_t mode; int32_t expected; };
  const Case cases[] = {
      {0600, 0}, {0400, 0}, {0700, 0}, {0640, groupRead}, {0440, groupRead},
      {0604, kPbeKeyFileExposed}, {0620, kPbeKeyFileExposed}, {0602, kPbeKeyFileExposed},
      {0610, kPbeKeyFileExposed}, {0601, kPbeKeyFileExposed}, {0660, kPbeKeyFileExposed},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
    // Were the file read, the read would fail first: an exposed file must be
    // refused before that, an owner-only one gets to the read.
    faultArm(FaultPlan{kFaultRead, 1, false, -1, 0});
    unsigned char* key = nullptr;
    int32_t keyLength = -1;
    EXPECT_EQ(svcPbeReadInitialKeyFile(path.c_str(), &key, &keyLength),
              c.expected != 0 ? c.expected : kPbeKeyFileUnreadable) << std::oct << c.mode;
    EXPECT_EQ(faultFired(), c.expected == 0) << std::oct << c.mode;
    EXPECT_EQ(key, nullptr);
  }
}

// Where each walk ends: its folder's name, the last name, whether it
// exists, or the error and the link it names.
TEST(PathWalkTest, LinksAreFollowedOnlyWhenRootOrTheCallerOwnsThem) {
  namespace fs = std::filesystem;
  ScratchDir scratch;
  const std::string dir = scratch.path();
  fs::create_directories(dir + "/real/sub");
  scratch.write("real/ks.conf", "x");
  fs::create_symlink("real/ks.conf", dir + "/mine");          // relative, in its own folder
  fs::create_symlink(dir + "/real", dir + "/folder");         // absolute, to a folder
  fs::create_symlink(dir + "/real/ks.conf", dir + "/theirs");
  fs::create_symlink("mine", dir + "/to-theirs-via-mine");
  fs::create_symlink("theirs", dir + "/to-theirs");
  fs::create_symlink("loop", dir + "/loop");
  bool root = geteuid() == 0;
  // Only root can give a link away; others see the link as their own.
  if (root) {
    ASSERT_EQ(lchown((dir + "/theirs").c_str(), 1234, 1234), 0);
  }
  struct Case { std::string path; int32_t error; std::string folder, name; bool exists; };
  const Case cases[] = {
      {dir + "/mine", 0, dir + "/real", "ks.conf", true},
      {dir + "/folder/ks.conf", 0, dir + "/real", "ks.conf", true},
      {dir + "/folder/sub/../new.conf", 0, dir + "/real", "new.conf", false},
      {dir + "/to-theirs-via-mine", 0, dir + "/real", "ks.conf", true},
      {dir + "/to-theirs", root ? ELOOP : 0, dir + "/theirs", "", false},
      {dir + "/loop", EMLINK, dir + "/loop", "", false},
      {dir + "/missing/ks.conf", ENOENT, "", "", false},
      {dir + "/real/ks.conf/x", ENOTDIR, "", "", false},
      {dir + "/real/", EINVAL, "", "", false},
      {"", EINVAL, "", "", false},
  };
  for (const Case& c : cases) {
    WalkedPath at;
    char where[kPathSize] = {};
    int32_t error = osWalkPath(c.path.c_str(), nullptr, &at, where, sizeof where);
    EXPECT_EQ(error, c.error) << c.path;
    if (error == ELOOP || error == EMLINK) {
      EXPECT_EQ(std::string(where), c.folder) << c.path;
    }
    if (error != 0 || c.error != 0) continue;
    EXPECT_EQ(at.name, c.name) << c.path;
    EXPECT_EQ(at.exists, c.exists) << c.path;
    struct stat folder, expected;
    ASSERT_EQ(fstat(static_cast<int>(at.folder), &folder), 0);
    ASSERT_EQ(stat(c.folder.c_str(), &expected), 0);
    EXPECT_EQ(folder.st_ino, expected.st_ino) << c.path;
  }
  // A relative name from a walked file's folder, not from the current one.
  WalkedPath keystore;
  WalkedPath key;
  ASSERT_EQ(osWalkPath((dir + "/folder/ks.conf").c_str(), nullptr, &keystore, nullptr, 0), 0);
  ASSERT_EQ(osWalkPath("sub/../ks.conf", &keystore, &key, nullptr, 0), 0);
  EXPECT_TRUE(key.exists);
  EXPECT_EQ(std::string(key.text), dir + "/real/sub/../ks.conf");
}

// The commands harden their process first: no core, and no other process of
// the user may read its memory.
TEST(ProcessTest, AHardenedProcessMakesNoCore) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    osHardenProcess();
    struct rlimit core;
    bool hardened = getrlimit(RLIMIT_CORE, &core) == 0 && core.rlim_cur == 0 &&
                    core.rlim_max == 0 && prctl(PR_GET_DUMPABLE) == 0;
    _exit(hardened ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
