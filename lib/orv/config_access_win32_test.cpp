// What Windows does differently: the per-user directory comes from
// HOMEDRIVE and HOMEPATH.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "lib/orv/config_access.h"
#include "lib/orv/test_support.h"
#include "testing/scratch_dir.h"

namespace {

TEST(ConfigAccessWin32Test, PathIsBuiltFromHomeDriveAndHomePath) {
  ScopedEnv unconfigured("VKT_TEST_KEYSTORE_CONF", nullptr);
  const std::string path256 = "\\" + std::string(255, 'h');
  struct Case {
    const char* name;
    const char* drive;
    const char* path;
    int32_t rc;
    std::string expected;
  };
  const Case cases[] = {
      {"plain home", "C:", "\\Users\\operator", kConfigOk,
       "C:\\Users\\operator\\.vkt\\keystore.conf"},
      {"separator not normalised", "C:", "\\Users\\operator\\", kConfigOk,
       "C:\\Users\\operator\\\\.vkt\\keystore.conf"},
      {"longer than 260 characters: refused", "C:", path256.c_str(), kConfigPathTooLong, ""},
      {"home path unset", "C:", nullptr, kConfigNoPath, ""},
      {"home drive unset", nullptr, "\\Users\\operator", kConfigNoPath, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedEnv drive("HOMEDRIVE", c.drive);
    ScopedEnv path("HOMEPATH", c.path);
    char dst[kConfigPathSize];
    std::memset(dst, '*', sizeof dst);
    EXPECT_EQ(findConfigFilePath(dst, "VKT_TEST_KEYSTORE_CONF", "keystore.conf"), c.rc);
    if (c.rc == kConfigOk) {
      EXPECT_EQ(std::string(dst), c.expected);
    } else {
      EXPECT_EQ(std::string(dst, sizeof dst), std::string(kConfigPathSize, '*')) << "untouched";
    }
  }
}

}  // namespace
