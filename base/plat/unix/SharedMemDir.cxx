#include "base/plat/unix/SharedMemDir.h"

#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/LogSrc.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

namespace plat {

namespace {

const char* const appComponent = "kwo";

[[noreturn]] void refuse(const std::string& path, const std::string& reason) {
  throw Exception(format("Refusing unsafe directory %s: %s", path.c_str(), reason.c_str()));
}

// The reason why a directory with these attributes cannot be trusted, if any.
std::optional<std::string> distrust(const struct stat& st) {
  if (S_ISLNK(st.st_mode))
    return "it is a symbolic link";
  if (!S_ISDIR(st.st_mode))
    return "it is not a directory";
  uid_t euid = geteuid();
  if (st.st_uid != euid)
    return format("it is owned by uid %u, not %u", unsigned(st.st_uid), unsigned(euid));
  if (st.st_mode & (S_IRWXG | S_IRWXO))
    return format("group or others have access (mode %04o)", unsigned(st.st_mode & 07777));
  return std::nullopt;
}

// The levels below the base, outermost first.
std::string levelPath(const std::string& base, int level, const char* kind) {
  std::string path = SharedMemDir::runtimePath(base);
  if (level >= 1)
    path += "/shm";
  if (level >= 2)
    path += format("/%s", kind);
  return path;
}

constexpr int levels = 3;

} // namespace

std::string SharedMemDir::runtimePath(const std::string& base) {
  return format("%s/.%s-%s", base.c_str(), appComponent,
                std::to_string(unsigned(geteuid())).c_str());
}

std::string SharedMemDir::markerPath(const std::string& base, const char* kind) {
  return levelPath(base, levels - 1, kind);
}

ScopedFd SharedMemDir::openChecked(const std::string& path) {
  struct stat before;
  if (lstat(path.c_str(), &before) < 0)
    throw SystemException(format("lstat(%s)", path.c_str()), errno);
  if (auto reason = distrust(before))
    refuse(path, *reason);
  // The descriptor is what callers go on using; opening without following
  // links and checking it again closes the window between lstat and open.
  ScopedFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd)
    refuse(path, format("it cannot be opened without following links (%s)", strerror(errno)));
  struct stat after;
  if (fstat(fd.get(), &after) < 0)
    throw SystemException(format("fstat(%s)", path.c_str()), errno);
  if (after.st_dev != before.st_dev || after.st_ino != before.st_ino)
    refuse(path, "it was replaced while being checked");
  if (auto reason = distrust(after))
    refuse(path, *reason);
  return fd;
}

std::string SharedMemDir::makeMarkerDir(const std::string& base, const char* kind) {
  std::string path;
  for (int level = 0; level < levels; level++) {
    path = levelPath(base, level, kind);
    if (mkdir(path.c_str(), 0700) < 0 && errno != EEXIST)
      throw SystemException(format("mkdir(%s)", path.c_str()), errno);
    openChecked(path);
  }
  return path;
}

std::optional<std::string> SharedMemDir::markerDirOrNone(const std::string& base,
                                                         const char* kind, LogSrc& log) {
  static std::mutex mutex;
  static std::set<std::string> reported;
  try {
    return makeMarkerDir(base, kind);
  } catch (const Exception& e) {
    std::string path = markerPath(base, kind);
    std::lock_guard lock(mutex);
    if (reported.insert(path).second)
      log.error("%s; shared memory is created without markers", e.str());
    return std::nullopt;
  }
}

ScopedFd SharedMemDir::openMarkerDir(const std::string& base, const char* kind) {
  ScopedFd fd;
  for (int level = 0; level < levels; level++) {
    try {
      fd = openChecked(levelPath(base, level, kind));
    } catch (const SystemException& e) {
      if (e.err() == ENOENT)
        return ScopedFd();
      throw;
    }
  }
  return fd;
}

void SharedMemDir::forEachMarker(const std::string& base, const char* kind,
                                 const MarkerVisit& visit) noexcept {
  try {
    ScopedFd dir = openMarkerDir(base, kind);
    if (!dir)
      return;
    for (const std::string& entry : entries(dir.get())) {
      try {
        visit(dir.get(), entry);
      } catch (const std::exception&) {
        // One unreadable entry does not keep the others from being visited.
      }
    }
  } catch (const std::exception&) {
  }
}

std::vector<std::string> SharedMemDir::entries(int dirFd) {
  // fdopendir takes the descriptor it is given; the caller keeps its own.
  int copy = fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0)
    throw SystemException("fcntl(F_DUPFD_CLOEXEC)", errno);
  std::unique_ptr<DIR, int (*)(DIR*)> dir(fdopendir(copy), closedir);
  if (!dir) {
    int err = errno;
    ::close(copy);
    throw SystemException("fdopendir", err);
  }
  rewinddir(dir.get());
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = readdir(dir.get())) {
    std::string name = entry->d_name;
    if (name != "." && name != "..")
      names.push_back(std::move(name));
    errno = 0;
  }
  if (errno != 0)
    throw SystemException("readdir", errno);
  return names;
}

} // namespace plat
