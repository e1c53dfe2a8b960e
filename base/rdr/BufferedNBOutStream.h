#pragma once

// A buffered output stream whose sink can be switched to non-blocking
// operation. A non-blocking flush hands the sink what it takes now and keeps
// the rest for a later writePending(false) (driven by write readiness).

#include "base/rdr/BufferedOutStream.h"

namespace rdr {

class BufferedNBOutStream : public BufferedOutStream {
public:
  virtual void setNonBlocking(bool flag) { nonBlocking_ = flag; }
  bool isNonBlocking() const override { return nonBlocking_; }
  void flush() override;

protected:
  explicit BufferedNBOutStream(int bufferSize = -1, int maxSize = -1);

private:
  bool nonBlocking_ = false;
};

} // namespace rdr
