#pragma once

// The viewers' passwords a user gives with -passwordfile: one a line (a
// trailing CR and empty lines ignored). The file must be the user's own
// secret: a regular file, not reached through a symbolic link, owned by the
// invoking user (getuid) and of mode 600; otherwise another local user could
// have put the password there, or read it.

#include <string>
#include <vector>

namespace kwoserve {

class PasswordFile {
public:
  // Throws plat::Exception, saying what is wrong, when the file cannot be
  // read, fails a check or holds no password.
  static std::vector<std::string> read(const std::string& path);
};

} // namespace kwoserve
