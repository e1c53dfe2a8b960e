#include "kwo-serve/PrivateFile.h"

#include "base/io/UniqueFd.h"
#include "base/plat/Exception.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kwoserve {

PrivateFile::PrivateFile(const std::string& path, const std::string& content) : path_(path) {
  if (unlink(path.c_str()) != 0 && errno != ENOENT)
    throw plat::SystemException(("cannot replace " + path).c_str(), errno);
  io::UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd)
    throw plat::SystemException(("cannot create " + path).c_str(), errno);
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = write(fd.get(), content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      int err = n < 0 ? errno : EIO;
      unlink(path.c_str());
      throw plat::SystemException(("cannot write " + path).c_str(), err);
    }
    done += size_t(n);
  }
}

PrivateFile::~PrivateFile() { unlink(path_.c_str()); }

} // namespace kwoserve
