#include "base/plat/LogFileRotation.h"

#include "base/plat/Format.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {

namespace {

constexpr int64_t secondsPerDay = 86400;
constexpr int maxRenameTries = 1000;

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

std::string directoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  if (slash == 0)
    return "/";
  return path.substr(0, slash);
}

std::string baseNameOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

void removeExpired(const std::string& path, int keepDays, time_t now) {
  std::string directory = directoryOf(path);
  std::string prefix = baseNameOf(path) + ".";
  std::unique_ptr<DIR, DirCloser> dir(opendir(directory.c_str()));
  if (!dir)
    return;
  int64_t oldest = int64_t(now) - int64_t(keepDays) * secondsPerDay;
  while (dirent* entry = readdir(dir.get())) {
    std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0)
      continue;
    std::string candidate = directory + "/" + name;
    struct stat info;
    if (lstat(candidate.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
      continue;
    if (int64_t(info.st_mtime) < oldest)
      unlink(candidate.c_str());
  }
}

} // namespace

bool makeParentDirectories(const std::string& path) {
  std::string directory = directoryOf(path);
  for (size_t slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
    std::string prefix = directory.substr(0, slash);
    struct stat info;
    bool present = stat(prefix.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    if (!present && mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
      return false;
    if (slash == std::string::npos)
      return true;
  }
}

std::string rotatedLogName(const std::string& path, time_t mtime) {
  tm local{};
  localtime_r(&mtime, &local);
  return format("%s.%04d%02d%02d%02d%02d%02d", path.c_str(), local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

void rotateLogFile(const std::string& path, int keepDays, time_t now) {
  removeExpired(path, keepDays, now);
  // Only a regular file is moved aside: a log pointed at a device such as
  // /dev/null or /dev/full (or at a link) must never rename it.
  struct stat info;
  if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
    return;
  std::string target = rotatedLogName(path, info.st_mtime);
  std::string candidate = target;
  for (int i = 1; exists(candidate) && i <= maxRenameTries; i++)
    candidate = format("%s.%d", target.c_str(), i);
  if (!exists(candidate))
    std::rename(path.c_str(), candidate.c_str());
}

} // namespace plat
