#pragma once

#include "base/rdr/BufferedNonBlockableInStream.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace testsupport {

// A non-blocking source whose bytes arrive when the test says, like a
// socket: reads take what has arrived and report "nothing now" after that.
class ArrivingInStream : public rdr::BufferedNonBlockableInStream {
public:
  explicit ArrivingInStream(std::vector<uint8_t> bytes, int bufferSize = -1)
    : BufferedNonBlockableInStream(bufferSize), bytes_(std::move(bytes)) {
    setNonBlocking(true);
  }
  void arrive(size_t n) { arrived_ = std::min(bytes_.size(), arrived_ + n); }
  void arriveAll() { arrived_ = bytes_.size(); }
  bool allArrived() const { return arrived_ == bytes_.size(); }

protected:
  size_t readSome(uint8_t* buffer, size_t max) override {
    size_t n = std::min(max, arrived_ - taken_);
    std::copy_n(bytes_.begin() + long(taken_), n, buffer);
    taken_ += n;
    return n;
  }

private:
  std::vector<uint8_t> bytes_;
  size_t arrived_ = 0;
  size_t taken_ = 0;
};

} // namespace testsupport
