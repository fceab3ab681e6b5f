// What the POSIX port does differently: the per-user directory comes from
// HOME.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "lib/orv/config_access.h"
#include "lib/orv/test_support.h"
#include "testing/scratch_dir.h"

namespace {

TEST(ConfigAccessPosixTest, PathIsBuiltFromHome) {
  ScopedEnv unconfigured("VKT_TEST_KEYSTORE_CONF", nullptr);
  const std::string home258 = "/" + std::string(257, 'h');
  const std::string home300 = "/" + std::string(299, 'h');
  struct Case {
    const char* name;
    const char* home;
    int32_t rc;
    std::string expected;
  };
  const Case cases[] = {
      {"plain home", "/home/operator", kConfigOk, "/home/operator/.vkt/keystore.conf"},
      {"separator not normalised", "/home/operator/", kConfigOk,
       "/home/operator//.vkt/keystore.conf"},
      {"longer than 260 characters: refused", home258.c_str(), kConfigPathTooLong, ""},
      {"home unset", nullptr, kConfigNoPath, ""},
      {"home empty", "", kConfigNoPath, ""},
      {"home longer than a path buffer", home300.c_str(), kConfigNoPath, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedEnv home("HOME", c.home);
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
