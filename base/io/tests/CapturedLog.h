#pragma once

// A log destination named "captured" that keeps "<source>: <text>" lines, so
// that tests can check exact log texts. One per test binary, never destroyed
// (sources may still be bound to it at exit).

#include "base/plat/LogDest.h"

#include <mutex>
#include <string>
#include <vector>

namespace io::test {

class CapturedLog : public plat::LogDest {
public:
  // Binds the sources matching `pattern` to this destination at `level`,
  // replacing every other binding, and forgets earlier lines.
  static CapturedLog& capture(const std::string& pattern, int level);

  void write(int level, const char* source, const char* text) override;

  std::vector<std::string> lines();
  bool contains(const std::string& line);
  size_t count(const std::string& line);

  // Use capture(); public only for the one-time storage.
  CapturedLog();

private:

  std::mutex mutex_;
  std::vector<std::string> lines_;
};

} // namespace io::test
