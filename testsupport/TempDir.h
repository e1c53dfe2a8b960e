#pragma once

#include <string>

namespace testsupport {

// A private directory (mode 0700) under /tmp, removed with everything in it
// at the end.
class TempDir {
public:
  // `prefix` names the directory's owner, e.g. "kwo-fault".
  explicit TempDir(const std::string& prefix = "kwo-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }

private:
  std::string path_;
};

} // namespace testsupport
