#pragma once

// A file that only its owner may read (mode 600), holding a secret kwo-serve
// made (the generated password, the X cookie), in a private folder
// (RuntimeDir). Created afresh: an old file of that name is removed first,
// and a symbolic link in its place is not followed.
//
// Ownership: removes the file on destruction.
// Failures: the constructor throws plat::SystemException when the file
// cannot be written.

#include <string>

namespace kwoserve {

class PrivateFile {
public:
  PrivateFile(const std::string& path, const std::string& content);
  ~PrivateFile();
  PrivateFile(const PrivateFile&) = delete;
  PrivateFile& operator=(const PrivateFile&) = delete;

  const std::string& path() const { return path_; }

private:
  std::string path_;
};

} // namespace kwoserve
