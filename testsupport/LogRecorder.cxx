#include "testsupport/LogRecorder.h"

#include "base/plat/LogSetting.h"

namespace testsupport {

LogRecorder::LogRecorder(const char* pattern, int level) : LogDest("testrecorder") {
  plat::resetLogStateForTests();
  plat::setLogSetting(std::string(pattern) + ":testrecorder:" + std::to_string(level));
}

LogRecorder::~LogRecorder() {
  plat::resetLogStateForTests();
}

void LogRecorder::write(int level, const char* source, const char* text) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back({level, source, text});
}

std::vector<LogRecorder::Line> LogRecorder::lines() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::vector<std::string> LogRecorder::texts(const std::string& source) {
  std::vector<std::string> result;
  for (const Line& line : lines()) {
    if (source.empty() || line.source == source)
      result.push_back(line.text);
  }
  return result;
}

void LogRecorder::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

} // namespace testsupport
