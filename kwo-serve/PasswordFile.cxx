#include "kwo-serve/PasswordFile.h"

#include "base/io/UniqueFd.h"
#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/LogSrc.h"

#include <cerrno>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace kwoserve {

namespace {

plat::LogSrc vlog("PasswordFile");

// A password file is a few lines; more is not read.
constexpr size_t maxSize = 65536;

} // namespace

std::vector<std::string> PasswordFile::read(const std::string& path) {
  io::UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd && errno == ELOOP)
    throw plat::Exception(plat::format("password file %s is a symbolic link", path.c_str()));
  if (!fd)
    throw plat::SystemException(("password file " + path).c_str(), errno);
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
    throw plat::Exception(plat::format("password file %s is not a regular file", path.c_str()));
  if (st.st_uid != getuid())
    throw plat::Exception(plat::format("password file %s belongs to uid %u, not to uid %u",
                                       path.c_str(), unsigned(st.st_uid), unsigned(getuid())));
  if ((st.st_mode & 07777) != 0600)
    throw plat::Exception(plat::format(
        "password file %s has mode %o; chmod 600 it first", path.c_str(),
        unsigned(st.st_mode & 07777)));
  std::string content;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd.get(), buffer, sizeof(buffer))) > 0 && content.size() < maxSize)
    content.append(buffer, size_t(n));
  std::vector<std::string> passwords;
  std::istringstream in(content);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (line.empty())
      continue;
    if (line.size() > 8)
      vlog.status("Only the first 8 characters of a password count in RFB authentication");
    passwords.push_back(line);
  }
  if (passwords.empty())
    throw plat::Exception(plat::format("password file %s holds no password", path.c_str()));
  return passwords;
}

} // namespace kwoserve
