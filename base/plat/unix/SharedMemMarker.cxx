#include "base/plat/unix/SharedMemMarker.h"

#include "base/plat/Exception.h"
#include "base/plat/Format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace plat {

namespace {

constexpr int markerFlags = O_RDWR | O_NOFOLLOW | O_CLOEXEC;

// lockf reports a lock held elsewhere with either errno, depending on the
// system.
bool lockedElsewhere(int err) {
  return err == EACCES || err == EAGAIN;
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes `path` only if it still names the file open as `fd`.
void unlinkIfSame(const std::string& path, int fd) {
  struct stat byFd, byName;
  if (fstat(fd, &byFd) < 0 || lstat(path.c_str(), &byName) < 0)
    return;
  if (sameFile(byFd, byName))
    unlink(path.c_str());
}

} // namespace

bool SharedMemMarker::acquire(const std::string& path) {
  release();
  // Knowing whether this call made the file tells a failure what to undo.
  bool created = true;
  ScopedFd fd(open(path.c_str(), markerFlags | O_CREAT | O_EXCL, 0600));
  if (!fd && errno == EEXIST) {
    created = false;
    fd.reset(open(path.c_str(), markerFlags));
  }
  if (!fd)
    throw SystemException(format("open(%s)", path.c_str()), errno);

  auto fail = [&](const char* call) {
    int err = errno;
    if (created)
      unlinkIfSame(path, fd.get());
    throw SystemException(call, err);
  };
  // The umask may have taken bits off the creation mode; a reused file may
  // have any mode.
  if (fchmod(fd.get(), 0600) < 0)
    fail("fchmod");
  if (lockf(fd.get(), F_TLOCK, 0) < 0) {
    if (lockedElsewhere(errno))
      return false;
    fail("lockf");
  }
  if (ftruncate(fd.get(), 0) < 0)
    fail("ftruncate");
  fd_ = std::move(fd);
  path_ = path;
  return true;
}

void SharedMemMarker::release() noexcept {
  if (!fd_)
    return;
  // Unlinking before the descriptor is closed keeps the lock over the
  // removal, so a concurrent clean-up never sees the file unlocked.
  unlinkIfSame(path_, fd_.get());
  fd_.reset();
  path_.clear();
}

SharedMemMarker::Probe SharedMemMarker::probe(int dirFd, const char* name) {
  // O_NONBLOCK: a FIFO planted under the name must not block the open.
  ScopedFd fd(openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd)
    throw SystemException(format("open(%s)", name), errno);
  struct stat st;
  if (fstat(fd.get(), &st) < 0)
    throw SystemException("fstat", errno);
  if (!S_ISREG(st.st_mode))
    return Probe::notAFile;
  if (lockf(fd.get(), F_TEST, 0) == 0)
    return Probe::free;
  if (lockedElsewhere(errno))
    return Probe::held;
  throw SystemException("lockf", errno);
}

} // namespace plat
