#pragma once

// The receiver of an io::FdKicker's bytes, called on the loop thread.

#include <cstdint>

namespace rdr {
class InStream;
}

namespace io {

class FdKicker;

class FdKickerCallback {
public:
  // The kicker's pipe is readable. Read the kicked bytes from `in`; running
  // dry throws rdr::BlockException, which the kicker swallows.
  virtual void kicked(FdKicker& kicker, rdr::InStream& in) = 0;

protected:
  ~FdKickerCallback() = default;
};

} // namespace io
