#pragma once

// A destination that writes one line per message to a stdio stream: either a
// stream it is bound to (standard error) or a file it opens on demand at a
// path, rotating old files first. Every write holds the destination's lock
// for the whole line, so lines from different threads never interleave.
//
// Line forms (the colour switch and reset only when the colour flag is set):
//   "<%d> %s %s %s[%lld]: %s: %s\n"  syslog-style priority, UTC time
//       "YYYY-MM-DDThh:mm:ss.mmmZ", host, application, process id, source,
//       text;
//   "%02d:%02d:%02d.%03d %s: %s\n"   compact: local time, source, text.

#include "base/plat/LogDest.h"

#include <cstdio>
#include <ctime>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace plat {

class LogDestFile : public LogDest {
public:
  // Called, without the destination's lock, after a size limit closed the
  // stream. Writes are dropped until it returns. It may call setStream; it
  // runs inside a log call, so it must not change the "Log" setting.
  using ReopenHandler = std::function<void(LogDestFile&)>;
  using WallClock = std::function<timespec()>;

  // Bound to `stream` (not owned). The colour flag is set when the stream is
  // a terminal and TERM contains "xterm", "ansi" or "color".
  LogDestFile(const char* name, std::FILE* stream);
  // Opens its file on demand once a path is set.
  explicit LogDestFile(const char* name);
  ~LogDestFile() override;

  // The process-wide "stderr" and "file" destinations.
  static LogDestFile& stderrDest();
  static LogDestFile& fileDest();

  void write(int level, const char* source, const char* text) override;
  // True with a path or an open stream.
  bool isActive() override;

  // A new path (or none) closes the open file; the next write opens the new
  // one. Clears an earlier failure to open.
  void setPath(std::optional<std::string> path);
  // Tried, with a message on standard error, when the path cannot be opened.
  void setDefaultPath(std::optional<std::string> path);
  std::optional<std::string> path();
  // Replaces the stream (owned or not), closing an owned one.
  void setStream(std::FILE* stream, bool owned);
  // 0: no limit.
  void setSizeLimit(long bytes);
  void setReopenHandler(ReopenHandler handler);
  // Written, wrapped at 79 columns, at the top of each newly used stream.
  void setBanner(std::string text);
  void setAppName(std::string name);
  void setHostName(std::string name);
  void setCompact(bool compact);
  void setColour(bool colour);
  void setKeepDays(int days);
  // Replaces the wall clock (tests).
  void setClock(WallClock clock);

  // The system's host name up to its first ".", or "" when unknown.
  static std::string systemHostName();

private:
  bool ensureOpen();
  bool openAt(const std::string& path, std::string& reason);
  void closeStream();
  std::string formatLine(int level, const char* source, const char* text) const;
  bool sizeLimitReached();
  void checkWritten(bool flushed);

  std::string appName_;
  std::string hostName_;
  std::mutex mutex_;
  std::optional<std::string> path_;
  std::optional<std::string> defaultPath_;
  std::FILE* stream_ = nullptr;
  bool ownsStream_ = false;
  bool closedForRotation_ = false;
  bool openFailed_ = false;
  // A failed write was reported for the current stream.
  bool writeFailed_ = false;
  long sizeLimit_ = 0;
  ReopenHandler reopenHandler_;
  std::string banner_;
  bool bannerWritten_ = false;
  bool colour_ = false;
  bool compact_ = false;
  int keepDays_ = 30;
  WallClock clock_;
};

} // namespace plat
