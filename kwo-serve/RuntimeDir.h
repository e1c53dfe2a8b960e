#pragma once

// kwo-serve's private folder for the files that hold secrets (the generated
// password, the virtual display's X cookie): $XDG_RUNTIME_DIR/kwo-serve when
// XDG_RUNTIME_DIR names a folder of ours, else /tmp/kwo-serve-UID. Made with
// mode 700 when missing; an existing one must be a real folder (not a
// symbolic link) owned by the invoking user with no group or other access,
// so that no other local user can read or swap the files.
//
// Failures: the constructor throws plat::Exception, saying why, when the
// folder cannot be made or fails a check.

#include <string>

namespace kwoserve {

class RuntimeDir {
public:
  RuntimeDir();

  const std::string& path() const { return path_; }
  // `name` inside the folder.
  std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

} // namespace kwoserve
