#pragma once

// A named source of log messages. Levels: 0 error, 30 status, 100 info,
// 110 debug; larger is more detailed. Sources have static storage and are
// safe to use from any thread.

#include <cstdarg>
#include <string>

namespace plat {

class LogSrc {
public:
  explicit LogSrc(const char* name);
  virtual ~LogSrc();
  LogSrc(const LogSrc&) = delete;
  LogSrc& operator=(const LogSrc&) = delete;

  const char* name() const { return name_; }

  void error(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void status(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void info(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void debug(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

  void write(int level, const char* text);
  // One message per line of the text.
  void writeLines(int level, const char* text);

  static constexpr int levelError = 0;
  static constexpr int levelStatus = 30;
  static constexpr int levelInfo = 100;
  static constexpr int levelDebug = 110;

private:
  void vlog(int level, const char* fmt, va_list args);

  const char* name_;
};

} // namespace plat
