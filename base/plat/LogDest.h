#pragma once

// Where log messages go. Named destinations ("stderr", "file", "ipc") join a
// process-wide list when constructed and leave it when destroyed; the memory
// store has no name and stays off the list. Names compare case-insensitively.

#include <atomic>
#include <climits>
#include <string_view>
#include <vector>

namespace plat {

class LogDest {
public:
  // `name` is static text, or null for an unlisted destination.
  explicit LogDest(const char* name);
  virtual ~LogDest();
  LogDest(const LogDest&) = delete;
  LogDest& operator=(const LogDest&) = delete;

  // Takes one message; may be called from any thread at once, so
  // implementations lock their own state. `text` is already escaped.
  virtual void write(int level, const char* source, const char* text) = 0;
  // An inactive destination is skipped by the bindings.
  virtual bool isActive() { return true; }

  const char* name() const { return name_; }
  // Messages above this level are of no use here (INT_MAX: all are).
  int level() const { return level_.load(std::memory_order_relaxed); }

  // The named destination, or null.
  static LogDest* find(std::string_view name);
  // Every named destination, newest first.
  static std::vector<LogDest*> all();

protected:
  void setLevel(int level) { level_.store(level, std::memory_order_relaxed); }

private:
  const char* name_;
  LogDest* next_ = nullptr;
  std::atomic<int> level_{INT_MAX};
};

} // namespace plat
