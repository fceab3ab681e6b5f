#include "testing/scratch_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "platform/files.h"

namespace fs = std::filesystem;

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
  std::error_code error;
  fs::remove(path, error);
  // Owner only, as a key file must be: the product's own way to create one.
  WalkedPath at;
  FILE* out = osWalkPath(path.c_str(), nullptr, &at, nullptr, 0) == 0
                  ? osCreatePrivateFile(at, at.name, nullptr)
                  : nullptr;
  bool written = out != nullptr && osWriteFile(content.data(), 1, content.size(), out) ==
                                       content.size();
  EXPECT_TRUE((out == nullptr || osCloseFile(out) == 0) && written) << "cannot write " << path;
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
