#ifndef ORV_TESTING_SCRATCH_DIR_H_
#define ORV_TESTING_SCRATCH_DIR_H_

#include <string>

// A fresh directory for one test, removed with everything in it when the
// object goes, even when an assertion failed.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  // The path of `name` inside the directory.
  std::string file(const std::string& name) const;
  // Writes `content` byte for byte into `name`, readable and writable by its
  // owner only, and returns its path.
  std::string write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

// The whole content of a file, byte for byte; empty when it cannot be read.
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);

#endif  // ORV_TESTING_SCRATCH_DIR_H_
