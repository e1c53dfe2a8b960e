#include "base/plat/LogDestFile.h"

#include "base/plat/Format.h"
#include "base/plat/LogFileRotation.h"
#include "base/plat/NoDestructor.h"
#include "base/plat/TextWrap.h"
#include "base/plat/Time.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <errno.h>
#include <unistd.h>

namespace plat {

namespace {

constexpr size_t bannerWidth = 79;

timespec systemWallClock() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

int64_t toWallTime(const timespec& time) {
  return wallTimeFromTimespec(time.tv_sec, time.tv_nsec);
}

bool colourTerminal(std::FILE* stream) {
  if (!stream || !isatty(fileno(stream)))
    return false;
  const char* term = std::getenv("TERM");
  return term && (std::strstr(term, "xterm") || std::strstr(term, "ansi") ||
                  std::strstr(term, "color"));
}

const char* colourCode(int level) {
  if (level <= 5)
    return "31;1";
  if (level <= 10)
    return "31";
  if (level <= 30)
    return "36";
  return "0";
}

int syslogPriority(int level) {
  if (level <= 0)
    return 11;
  if (level <= 5)
    return 12;
  if (level <= 10)
    return 13;
  if (level <= 30)
    return 14;
  return 15;
}

} // namespace

LogDestFile::LogDestFile(const char* name, std::FILE* stream)
  : LogDest(name), appName_(program_invocation_short_name), hostName_(systemHostName()),
    stream_(stream), colour_(colourTerminal(stream)), clock_(systemWallClock) {}

LogDestFile::LogDestFile(const char* name)
  : LogDest(name), appName_(program_invocation_short_name), hostName_(systemHostName()),
    clock_(systemWallClock) {}

LogDestFile::~LogDestFile() {
  closeStream();
}

LogDestFile& LogDestFile::stderrDest() {
  static NoDestructor<LogDestFile> dest("stderr", stderr);
  return *dest;
}

LogDestFile& LogDestFile::fileDest() {
  static NoDestructor<LogDestFile> dest("file");
  return *dest;
}

std::string LogDestFile::systemHostName() {
  char name[256];
  if (gethostname(name, sizeof(name)) != 0)
    return "";
  name[sizeof(name) - 1] = '\0';
  if (char* dot = std::strchr(name, '.'))
    *dot = '\0';
  return name;
}

void LogDestFile::write(int level, const char* source, const char* text) {
  bool limitReached = false;
  ReopenHandler handler;
  {
    std::lock_guard lock(mutex_);
    if (closedForRotation_ || !ensureOpen())
      return;
    if (!banner_.empty() && !bannerWritten_) {
      std::string banner = wrapText(banner_, bannerWidth) + "\n";
      std::fwrite(banner.data(), 1, banner.size(), stream_);
      bannerWritten_ = true;
    }
    // One fwrite per line, so that even writers in other processes sharing
    // the file do not split it.
    std::string line = formatLine(level, source, text);
    std::fwrite(line.data(), 1, line.size(), stream_);
    checkWritten(std::fflush(stream_) == 0);
    limitReached = sizeLimitReached();
    if (limitReached) {
      closeStream();
      closedForRotation_ = true;
      handler = reopenHandler_;
    }
  }
  if (!limitReached)
    return;
  // Without the lock, so that the handler may log (its lines are dropped)
  // and set a new stream.
  if (handler)
    handler(*this);
  std::lock_guard lock(mutex_);
  closedForRotation_ = false;
}

bool LogDestFile::isActive() {
  std::lock_guard lock(mutex_);
  return path_ || stream_;
}

std::string LogDestFile::formatLine(int level, const char* source, const char* text) const {
  int64_t now = toWallTime(clock_());
  std::string line;
  if (colour_)
    line += format("\033[%sm", colourCode(level));
  if (compact_) {
    DateTime local = localDateTime(now);
    line += format("%02d:%02d:%02d.%03d %s: %s\n", local.hour, local.minute, local.second,
                   local.millisecond, source, text);
  } else {
    std::string time = formatIsoDateTime(utcDateTime(now), true) + "Z";
    line += format("<%d> %s %s %s[%lld]: %s: %s\n", syslogPriority(level), time.c_str(),
                   hostName_.c_str(), appName_.c_str(), (long long)getpid(), source, text);
  }
  if (colour_)
    line += format("\033[%sm", "0");
  return line;
}

bool LogDestFile::sizeLimitReached() {
  if (sizeLimit_ <= 0)
    return false;
  long position = std::ftell(stream_);
  return position >= 0 && position >= sizeLimit_;
}

// A full disk would otherwise lose every line without a word; it is said
// once per stream, as a failed open is.
void LogDestFile::checkWritten(bool flushed) {
  int err = errno;
  if (flushed && !std::ferror(stream_))
    return;
  std::clearerr(stream_);
  if (writeFailed_)
    return;
  writeFailed_ = true;
  std::fprintf(stderr, "Error writing log file: %s\n", std::strerror(err));
}

bool LogDestFile::ensureOpen() {
  if (stream_)
    return true;
  if (!path_ || openFailed_)
    return false;
  std::string reason;
  if (openAt(*path_, reason))
    return true;
  std::fprintf(stderr, "Error opening log file: %s\n", reason.c_str());
  if (defaultPath_ && *defaultPath_ != *path_) {
    std::fprintf(stderr, "Reverting to default log file %s\n", defaultPath_->c_str());
    if (openAt(*defaultPath_, reason)) {
      path_ = defaultPath_;
      return true;
    }
    std::fprintf(stderr, "Error opening default log file: %s\n", reason.c_str());
  }
  // Retrying on every message would repeat the complaint for each line;
  // a new path tries again.
  openFailed_ = true;
  return false;
}

bool LogDestFile::openAt(const std::string& path, std::string& reason) {
  makeParentDirectories(path);
  rotateLogFile(path, keepDays_, clock_().tv_sec);
  std::FILE* stream = std::fopen(path.c_str(), "ae");
  if (!stream) {
    reason = std::strerror(errno);
    return false;
  }
  stream_ = stream;
  ownsStream_ = true;
  bannerWritten_ = false;
  writeFailed_ = false;
  return true;
}

void LogDestFile::closeStream() {
  std::FILE* stream = stream_;
  bool owned = ownsStream_;
  stream_ = nullptr;
  ownsStream_ = false;
  if (!stream || !owned)
    return;
  if (std::fclose(stream) != 0)
    std::fprintf(stderr, "Error closing log file: %s\n", std::strerror(errno));
}

void LogDestFile::setPath(std::optional<std::string> path) {
  std::lock_guard lock(mutex_);
  if (path == path_)
    return;
  if (path_)
    closeStream();
  path_ = std::move(path);
  openFailed_ = false;
  bannerWritten_ = false;
}

void LogDestFile::setDefaultPath(std::optional<std::string> path) {
  std::lock_guard lock(mutex_);
  defaultPath_ = std::move(path);
}

std::optional<std::string> LogDestFile::path() {
  std::lock_guard lock(mutex_);
  return path_;
}

void LogDestFile::setStream(std::FILE* stream, bool owned) {
  std::lock_guard lock(mutex_);
  closeStream();
  stream_ = stream;
  ownsStream_ = owned;
  bannerWritten_ = false;
  writeFailed_ = false;
}

void LogDestFile::setSizeLimit(long bytes) {
  std::lock_guard lock(mutex_);
  sizeLimit_ = bytes;
}

void LogDestFile::setReopenHandler(ReopenHandler handler) {
  std::lock_guard lock(mutex_);
  reopenHandler_ = std::move(handler);
}

void LogDestFile::setBanner(std::string text) {
  std::lock_guard lock(mutex_);
  banner_ = std::move(text);
}

void LogDestFile::setAppName(std::string name) {
  std::lock_guard lock(mutex_);
  appName_ = std::move(name);
}

void LogDestFile::setHostName(std::string name) {
  std::lock_guard lock(mutex_);
  hostName_ = std::move(name);
}

void LogDestFile::setCompact(bool compact) {
  std::lock_guard lock(mutex_);
  compact_ = compact;
}

void LogDestFile::setColour(bool colour) {
  std::lock_guard lock(mutex_);
  colour_ = colour;
}

void LogDestFile::setKeepDays(int days) {
  std::lock_guard lock(mutex_);
  keepDays_ = days;
}

void LogDestFile::setClock(WallClock clock) {
  std::lock_guard lock(mutex_);
  clock_ = std::move(clock);
}

} // namespace plat
