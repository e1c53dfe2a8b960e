#include "CapturedLog.h"

#include "base/plat/LogSetting.h"
#include "base/plat/NoDestructor.h"

#include <algorithm>

namespace io::test {

CapturedLog::CapturedLog() : plat::LogDest("captured") {}

CapturedLog& CapturedLog::capture(const std::string& pattern, int level) {
  static plat::NoDestructor<CapturedLog> instance;
  {
    std::lock_guard lock(instance->mutex_);
    instance->lines_.clear();
  }
  plat::setLogSetting(pattern + ":captured:" + std::to_string(level));
  return *instance;
}

void CapturedLog::write(int, const char* source, const char* text) {
  std::lock_guard lock(mutex_);
  lines_.push_back(std::string(source) + ": " + text);
}

std::vector<std::string> CapturedLog::lines() {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool CapturedLog::contains(const std::string& line) {
  return count(line) > 0;
}

size_t CapturedLog::count(const std::string& line) {
  std::lock_guard lock(mutex_);
  return size_t(std::count(lines_.begin(), lines_.end(), line));
}

} // namespace io::test
