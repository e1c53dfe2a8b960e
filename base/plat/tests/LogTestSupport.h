#pragma once

// Shared pieces of the logging tests: a destination that records what it is
// given, standard-error capture and a scratch directory.

#include "base/plat/LogDest.h"
#include "base/plat/LogSetting.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
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
  void clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

  bool active = true;

private:
  std::mutex mutex_;
  std::vector<Line> lines_;
};

// Redirects descriptor 2 into a temporary file for its lifetime.
class StderrCapture {
public:
  StderrCapture() {
    std::fflush(stderr);
    file_ = std::tmpfile();
    saved_ = dup(2);
    dup2(fileno(file_), 2);
  }
  ~StderrCapture() {
    restore();
    std::fclose(file_);
  }
  // Everything written so far; stops capturing.
  std::string text() {
    restore();
    std::string out;
    std::rewind(file_);
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof(buffer), file_)) > 0)
      out.append(buffer, got);
    return out;
  }

private:
  void restore() {
    if (saved_ < 0)
      return;
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }

  std::FILE* file_;
  int saved_;
};

class TempDir {
public:
  TempDir() {
    char pattern[] = "/tmp/kwo-logtest-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() {
    std::string command = "rm -rf '" + path_ + "'";
    if (std::system(command.c_str()) != 0)
      ADD_FAILURE() << "could not remove " << path_;
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

inline void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

inline bool fileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

inline void setMtime(const std::string& path, time_t mtime) {
  timeval times[2] = {{mtime, 0}, {mtime, 0}};
  ASSERT_EQ(0, utimes(path.c_str(), times)) << path;
}

// Every test starts and ends in the state of a fresh process.
class LogStateTest : public ::testing::Test {
protected:
  void SetUp() override { plat::resetLogStateForTests(); }
  void TearDown() override { plat::resetLogStateForTests(); }
};

} // namespace logtest
