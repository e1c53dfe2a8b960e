#pragma once

// A named source of log messages. Levels: 0 error, 30 status, 100 info,
// 110 debug; larger is more detailed. Sources have static storage, join a
// process-wide list when constructed and may be used from any thread.
//
// Each source holds its bindings (destination -> maximum level, set by the
// "Log" setting) and an effective level: the most detailed level any binding
// lets through, so that messages nobody wants are not even formatted once
// start-up is over. Before that, every message is formatted and, when no
// destination takes it, kept in the memory store for replay.

#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace plat {

class LogDest;

class LogSrc {
public:
  using Bindings = std::map<LogDest*, int>;

  // `name` is static text.
  explicit LogSrc(const char* name);
  virtual ~LogSrc();
  LogSrc(const LogSrc&) = delete;
  LogSrc& operator=(const LogSrc&) = delete;

  const char* name() const { return name_; }

  void error(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void status(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void info(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void debug(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void vlog(int level, const char* fmt, va_list args);

  // Texts longer than maxMessageLength - 1 bytes are cut.
  void write(int level, const char* text);
  // One message per line of the text.
  void writeLines(int level, const char* text);

  // The effective level: -1 without bindings, INT_MAX before the first
  // computation.
  int level() const { return level_.load(std::memory_order_relaxed); }
  // Recomputes the effective level from the bindings and their
  // destinations' levels.
  virtual void updateLevel();

  // Rebuilds the bindings of every source in one step: each source's map is
  // cleared and handed to `fill`. Other threads see either the old or the new
  // bindings. `fill` must not log. Does not recompute levels.
  static void replaceBindings(const std::function<void(LogSrc&, Bindings&)>& fill);
  static void updateAllLevels();
  // Drops every binding to `dest` (it is going away).
  static void forgetDest(LogDest* dest);
  // Every source, newest first.
  static std::vector<LogSrc*> all();
  // The bindings of this source (a copy; for listings and tests).
  Bindings bindings() const;

  // The distinct source names, sorted, separated by ", " and wrapped with
  // ",\n  " so that no line exceeds `width` (unless one name alone does);
  // ends with a newline.
  static void listSources(int width, std::FILE* out);

  static constexpr int levelError = 0;
  static constexpr int levelStatus = 30;
  static constexpr int levelInfo = 100;
  static constexpr int levelDebug = 110;
  static constexpr size_t maxMessageLength = 4096;

private:
  bool filteredOut(int level) const;
  void deliver(int level, const char* text);
  void checkConstructed() const;

  const char* name_;
  std::atomic<int> level_{INT_MAX};
  Bindings bindings_;
  LogSrc* next_ = nullptr;
  bool constructed_;
};

} // namespace plat
