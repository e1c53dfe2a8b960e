#pragma once

// Records the log messages of the sources matching a pattern, up to a level,
// for tests that check what was logged. While it lives, the "Log" setting is
// "<pattern>:testrecorder:<level>" (other destinations are unbound); the
// destructor puts logging back into the state of a fresh process. One
// recorder at a time.

#include "base/plat/LogDest.h"

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

  explicit LogRecorder(const char* pattern = "*", int level = 110);
  ~LogRecorder() override;

  void write(int level, const char* source, const char* text) override;

  std::vector<Line> lines();
  // The texts of the messages from `source` (all sources when empty).
  std::vector<std::string> texts(const std::string& source = {});
  void clear();

private:
  std::mutex mutex_;
  std::vector<Line> lines_;
};

} // namespace testsupport
