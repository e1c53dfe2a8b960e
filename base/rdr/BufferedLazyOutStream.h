#pragma once

// A non-blockable buffered output stream that can defer writing. In lazy
// non-blocking mode flush() writes nothing: it only reports the pending bytes
// (pendingChanged), and the owner writes them with writePending(false) when
// the sink is ready. Many small messages flushed in one pass of the event
// loop then leave in one write. Overrun still writes, so memory stays bounded.

#include "base/rdr/BufferedNBOutStream.h"

namespace rdr {

class BufferedLazyOutStream : public BufferedNBOutStream {
public:
  void setLazy(bool flag) { lazy_ = flag; }
  bool isLazy() const { return lazy_; }
  void flush() override;

protected:
  explicit BufferedLazyOutStream(int bufferSize = -1, int maxSize = -1);

private:
  bool lazy_ = false;
};

} // namespace rdr
