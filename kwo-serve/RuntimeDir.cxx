#include "kwo-serve/RuntimeDir.h"

#include "base/plat/Exception.h"
#include "base/plat/Format.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace kwoserve {

namespace {

bool ownFolder(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid();
}

std::string chooseBase() {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/' && ownFolder(runtime))
    return std::string(runtime) + "/kwo-serve";
  return plat::format("/tmp/kwo-serve-%u", unsigned(getuid()));
}

} // namespace

RuntimeDir::RuntimeDir() : path_(chooseBase()) {
  if (mkdir(path_.c_str(), 0700) != 0 && errno != EEXIST)
    throw plat::SystemException(("cannot make " + path_).c_str(), errno);
  struct stat st;
  if (lstat(path_.c_str(), &st) != 0)
    throw plat::SystemException(path_.c_str(), errno);
  if (!S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & 077) != 0)
    throw plat::Exception(plat::format(
        "%s is not a private folder of this user (it must be a folder, not a link, owned by "
        "uid %u, mode 700); remove it or set XDG_RUNTIME_DIR",
        path_.c_str(), unsigned(getuid())));
}

} // namespace kwoserve
