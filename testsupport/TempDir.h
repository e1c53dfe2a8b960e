#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace testsupport {

// A private directory (mode 0700) under /tmp, removed with everything in it
// at the end.
class TempDir {
public:
  // `prefix` names the directory's owner, e.g. "kwo-fault".
  explicit TempDir(const std::string& prefix = "kwo-test") : path_("/tmp/" + prefix + "-XXXXXX") {
    if (!mkdtemp(path_.data()))
      throw std::runtime_error("mkdtemp failed for " + path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }

private:
  std::string path_;
};

// The whole of a file; "" when it cannot be read.
inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

} // namespace testsupport
