#include "uilibs/tx/ProcessTable.h"

#include "uilibs/tx/EnvironScanner.h"

#include "base/io/UniqueFd.h"
#include "base/plat/LogSrc.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace tx {

namespace {

plat::LogSrc vlog("ProcessTable");

constexpr size_t chunkSize = 64 * 1024;

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// Decimal digits only, no sign, no leading zero (so "0" and "007" are not
// numbers here), at most 0xFFFFFFFF.
std::optional<uint32_t> parseDecimal32(std::string_view text) {
  if (text.empty() || text.size() > 10 || (text[0] == '0' && text.size() > 1))
    return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return std::nullopt;
    value = value * 10 + uint64_t(c - '0');
  }
  if (value > 0xFFFFFFFFu)
    return std::nullopt;
  return uint32_t(value);
}

void logOpenFailure(const std::string& path, int error) {
  vlog.info("Unable to open %s: %s", path.c_str(), strerror(error));
}

// Opens `name` below `dir` for reading without following a symbolic link
// and without blocking on a FIFO; only a regular file is kept.
io::UniqueFd openRegularFile(int dir, const char* name, const std::string& path) {
  io::UniqueFd fd(openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    logOpenFailure(path, errno);
    return fd;
  }
  struct stat info;
  if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    vlog.info("Unable to open %s: %s", path.c_str(), "not a regular file");
    return io::UniqueFd();
  }
  return fd;
}

// Reads up to `limit` bytes in chunks, handing each to `consume` until it
// returns true. Returns false on a read error (logged).
bool readChunks(int fd, size_t limit, const std::string& path,
                const std::function<bool(std::string_view)>& consume, size_t* total) {
  std::vector<char> buffer(chunkSize);
  *total = 0;
  while (*total < limit) {
    size_t want = std::min(chunkSize, limit - *total);
    ssize_t n = read(fd, buffer.data(), want);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      vlog.info("Unable to read %s: %s", path.c_str(), strerror(errno));
      return false;
    }
    if (n == 0)
      return true;
    *total += size_t(n);
    if (consume(std::string_view(buffer.data(), size_t(n))))
      return true;
  }
  return true;
}

} // namespace

ProcessTable::ProcessTable(std::string root) : root_(std::move(root)) {}

std::optional<uint32_t> ProcessTable::parsePid(std::string_view name) {
  std::optional<uint32_t> pid = parseDecimal32(name);
  if (!pid || *pid == 0)
    return std::nullopt;
  return pid;
}

std::optional<uint32_t> ProcessTable::parseStatusUid(std::string_view status) {
  constexpr std::string_view key = "Uid:";
  size_t start = 0;
  while (start < status.size()) {
    size_t end = status.find('\n', start);
    std::string_view line = status.substr(start, end == std::string_view::npos ? end : end - start);
    start = end == std::string_view::npos ? status.size() : end + 1;
    if (line.substr(0, key.size()) != key)
      continue;
    line.remove_prefix(key.size());
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos)
      return std::nullopt;
    line.remove_prefix(first);
    std::optional<uint32_t> uid = parseDecimal32(line.substr(0, line.find_first_of(" \t")));
    if (!uid || *uid == 0xFFFFFFFFu)
      return std::nullopt;
    return uid;
  }
  return std::nullopt;
}

std::optional<uint32_t> ProcessTable::readUid(int pidDir, const std::string& pidPath) const {
  std::string path = pidPath + "/status";
  io::UniqueFd fd = openRegularFile(pidDir, "status", path);
  if (!fd)
    return std::nullopt;
  std::string status;
  size_t total = 0;
  bool ok = readChunks(fd.get(), maxStatusSize, path, [&](std::string_view chunk) {
    status.append(chunk);
    return false;
  }, &total);
  if (!ok)
    return std::nullopt;
  return parseStatusUid(status);
}

ProcessTable::EnvValue ProcessTable::readEnv(int pidDir, const std::string& pidPath,
                                             std::string_view envName,
                                             size_t maxValueLength) const {
  EnvValue result;
  std::string path = pidPath + "/environ";
  io::UniqueFd fd = openRegularFile(pidDir, "environ", path);
  if (!fd)
    return result;
  EnvironScanner scanner(envName, maxValueLength);
  size_t total = 0;
  bool ok = readChunks(fd.get(), maxEnvironSize, path,
                       [&](std::string_view chunk) { return scanner.feed(chunk); }, &total);
  if (!ok)
    return result;
  if (scanner.state() == EnvironScanner::State::scanning && total >= maxEnvironSize) {
    result.kind = EnvValue::Kind::unusable;
    result.reason = "environment larger than " + std::to_string(maxEnvironSize) + " bytes";
    return result;
  }
  scanner.finish();
  switch (scanner.state()) {
  case EnvironScanner::State::found:
    result.kind = EnvValue::Kind::found;
    result.value = scanner.value();
    break;
  case EnvironScanner::State::tooLong:
    result.kind = EnvValue::Kind::unusable;
    result.reason = "longer than " + std::to_string(maxValueLength) + " bytes";
    break;
  default:
    break;
  }
  return result;
}

void ProcessTable::scan(const std::set<uint32_t>& wanted, std::string_view envName,
                        size_t maxValueLength,
                        const std::function<void(const Process&)>& visit) const {
  if (wanted.empty())
    return;
  io::UniqueFd rootFd(open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!rootFd) {
    logOpenFailure(root_, errno);
    return;
  }
  // The listing gets its own descriptor: closedir() closes the one it has.
  io::UniqueFd listFd(fcntl(rootFd.get(), F_DUPFD_CLOEXEC, 0));
  DirPtr dir(listFd ? fdopendir(listFd.get()) : nullptr);
  if (!dir) {
    logOpenFailure(root_, errno);
    return;
  }
  listFd.release();
  while (dirent* entry = readdir(dir.get())) {
    std::optional<uint32_t> pid = parsePid(entry->d_name);
    if (!pid || !wanted.count(*pid))
      continue;
    std::string pidPath = root_ + "/" + entry->d_name;
    // Both files are read through the one directory descriptor: should the
    // process end and its PID be reused meanwhile, the old directory gives
    // errors instead of the new process's data.
    io::UniqueFd pidDir(openat(rootFd.get(), entry->d_name,
                               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!pidDir) {
      logOpenFailure(pidPath, errno);
      continue;
    }
    std::optional<uint32_t> uid = readUid(pidDir.get(), pidPath);
    if (!uid)
      continue;
    visit(Process{*pid, *uid, readEnv(pidDir.get(), pidPath, envName, maxValueLength)});
  }
}

} // namespace tx
