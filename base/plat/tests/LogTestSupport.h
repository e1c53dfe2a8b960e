#pragma once

// Shared pieces of the logging tests: named destinations that record what
// they are given (several at once, each possibly inactive, which
// testsupport::LogRecorder cannot be), standard-error capture, files, and a
// fixture that starts and ends in the log state of a fresh process.

#include "base/plat/LogDest.h"
#include "base/plat/LogSetting.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <unistd.h>
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

// Redirects descriptor 2 into a temporary file until text() is called.
class StderrCapture {
public:
  StderrCapture() : file_(std::tmpfile()), saved_(dup(2)) {
    std::fflush(stderr);
    dup2(fileno(file_), 2);
  }
  ~StderrCapture() {
    text();
    std::fclose(file_);
  }
  std::string text() {
    if (saved_ >= 0) {
      std::fflush(stderr);
      dup2(saved_, 2);
      close(saved_);
      saved_ = -1;
    }
    std::string out;
    std::rewind(file_);
    for (int c; (c = std::fgetc(file_)) != EOF;)
      out += char(c);
    return out;
  }

private:
  std::FILE* file_;
  int saved_;
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
