#pragma once

// Records the log messages of the sources matching a pattern, up to a level,
// for tests that check what was logged. While it lives, the "Log" setting is
// "<pattern>:testrecorder:<level>" (other destinations are unbound); the
// destructor puts logging back into the state of a fresh process. One
// recorder at a time.

#include "base/plat/LogDest.h"
#include "base/plat/LogSetting.h"

#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class LogRecorder : public plat::LogDest {
public:
  struct Line {
    int level;
    std::string source;
    std::string text;
  };

  explicit LogRecorder(const char* pattern = "*", int level = 110) : LogDest("testrecorder") {
    plat::resetLogStateForTests();
    plat::setLogSetting(std::string(pattern) + ":testrecorder:" + std::to_string(level));
  }
  ~LogRecorder() override { plat::resetLogStateForTests(); }

  void write(int level, const char* source, const char* text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({level, source, text});
  }

  std::vector<Line> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  // The texts of the messages from `source` (all sources when empty).
  std::vector<std::string> texts(const std::string& source = {}) {
    std::vector<std::string> result;
    for (const Line& line : lines()) {
      if (source.empty() || line.source == source)
        result.push_back(line.text);
    }
    return result;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

private:
  std::mutex mutex_;
  std::vector<Line> lines_;
};

} // namespace testsupport
