// The POSIX key-file check: a key file that group or others may touch in
// any way is refused before a byte of it is read.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/pbe.h"
#include "testing/test_hooks.h"
#include "testing/scratch_dir.h"

namespace {

TEST(KeyFilePrivacyTest, OnlyOwnerOnlyModesAreAccepted) {
  ScratchDir scratch;
  std::string path = scratch.write("initial.key", "key\n");
  struct Case { mode_t mode; int32_t expected; };
  const Case cases[] = {
      {0600, 0}, {0400, 0}, {0700, 0}, {0640, kPbeKeyFileExposed}, {0604, kPbeKeyFileExposed},
      {0620, kPbeKeyFileExposed}, {0602, kPbeKeyFileExposed}, {0610, kPbeKeyFileExposed},
      {0601, kPbeKeyFileExposed},
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

}  // namespace
