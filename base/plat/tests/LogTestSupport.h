#pragma once

// Shared pieces of the logging tests: named destinations that record what
// they are given (several at once, each possibly inactive, which
// testsupport::LogRecorder cannot be), files, and a fixture that starts and
// ends in the log state of a fresh process.

#include "base/plat/LogDest.h"
#include "base/plat/LogSetting.h"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace logtest {

struct Line {
  int level;
  std::string source;
  std::string text;
  bool operator==(const Line&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Line& line) {
  return out << "{" << line.level << ", " << line.source << ", " << line.text << "}";
}

class RecordingDest : public plat::LogDest {
public:
  explicit RecordingDest(const char* name) : LogDest(name) {}

  void write(int level, const char* source, const char* text) override {
    std::lock_guard lock(mutex_);
    lines_.push_back({level, source, text});
  }
  bool isActive() override { return active; }
  using LogDest::setLevel;

  std::vector<Line> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::vector<std::string> texts() {
    std::vector<std::string> texts;
    for (const Line& line : lines())
      texts.push_back(line.text);
    return texts;
  }

  bool active = true;

private:
  std::mutex mutex_;
  std::vector<Line> lines_;
};

inline std::string readFile(const std::string& path) {
  std::stringstream content;
  content << std::ifstream(path, std::ios::binary).rdbuf();
  return content.str();
}

inline void writeFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

class LogStateTest : public ::testing::Test {
protected:
  void SetUp() override { plat::resetLogStateForTests(); }
  void TearDown() override { plat::resetLogStateForTests(); }
};

} // namespace logtest
