#include "testing/scratch_dir.h"

#ifdef _WIN32
#include <windows.h>
// windows.h first: sddl.h relies on its types.
#include <sddl.h>
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
bool restrictToUser(const std::string& path) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  unsigned char user[256];
  DWORD size = 0;
  char* sid = nullptr;
  bool ok = GetTokenInformation(token, TokenUser, user, sizeof user, &size) &&
            ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid);
  CloseHandle(token);
  if (!ok) return false;
  std::string sddl = std::string("D:P(A;;FA;;;") + sid + ")";
  LocalFree(sid);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return false;
  }
  ok = SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor) != 0;
  LocalFree(descriptor);
  return ok;
}
#endif

// Owner only, as a key file must be; no test relies on a wider access.
bool restrictToOwner(const std::string& path) {
#ifdef _WIN32
  // The access list, not the read-only attribute, says who may read a file:
  // full access for the current user by its SID (Wine does not honour the
  // owner-rights SID, so the file could not even be removed), nobody else.
  return restrictToUser(path);
#else
  std::error_code error;
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, error);
  return !error;
#endif
}

}  // namespace

ScratchDir::ScratchDir() {
  static std::atomic<unsigned> sequence{0};
  std::random_device random;
  fs::path base = fs::path(::testing::TempDir());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::ostringstream name;
    name << "orvseal-test-" << random() << "-" << sequence++;
    fs::path candidate = base / name.str();
    std::error_code error;
    if (fs::create_directory(candidate, error)) {
      path_ = candidate.string();
      return;
    }
  }
  ADD_FAILURE() << "cannot create a scratch directory under " << base.string();
}

ScratchDir::~ScratchDir() {
  if (path_.empty()) return;
  std::error_code error;
  fs::remove_all(path_, error);
}

std::string ScratchDir::file(const std::string& name) const {
  return (fs::path(path_) / name).string();
}

std::string ScratchDir::write(const std::string& name, const std::string& content) const {
  std::string path = file(name);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  EXPECT_TRUE(out.good()) << "cannot write " << path;
  out.close();
  EXPECT_TRUE(restrictToOwner(path)) << "cannot restrict " << path;
  return path;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool fileExists(const std::string& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(path, error));
}
