#pragma once

// An output stream over a sink that takes bytes in chunks (writeSome). The
// buffer grows up to a maximum size while the sink is slow, and the stream
// blocks on the sink only when the maximum is reached. A buffer grown past
// keptSize for a burst (a large clipboard text) goes back to its initial
// size once the burst is out.
//
// Layout: buffer <= unwritten <= ptr <= end <= buffer + bufferSize. Bytes in
// [unwritten, ptr) are accepted but not yet taken by the sink. The window
// [ptr, end) is kept to at most 16384 bytes (or one item, when larger), so
// that writers come back through overrun() and data keeps going out.

#include "base/rdr/OutStream.h"

#include <memory>

namespace rdr {

class BufferedOutStream : public OutStream {
public:
  static constexpr size_t defaultBufferSize = 16384;
  static constexpr size_t maxWindow = 16384;
  static constexpr size_t keptSize = 1 << 20;

  ~BufferedOutStream() override;

  size_t length() const override { return written_ + bufferedBytes(); }
  size_t bufferedBytes() const override { return size_t(ptr - unwritten_); }
  // Writes everything, blocking on the sink as needed.
  void flush() override;
  size_t overrun(size_t itemSize, size_t nItems) override;

  // Hand pending bytes to the sink: with wait until none is left, without as
  // many as it takes now. Returns true when the buffer is empty.
  bool writePending(bool wait);

  size_t bufferSize() const { return bufferSize_; }
  size_t maxBufferSize() const { return maxSize_; }
  // Hex-dump every chunk written at debug level, marked " --> ".
  void setDebug(bool flag) { debug_ = flag; }

protected:
  // bufferSize < 0 means 16384; 0 means no buffer (every overrun throws
  // rdr::OutStreamFull). maxSize < 0 means the "MaxOutBufferSize" parameter;
  // the maximum is never below the initial size.
  explicit BufferedOutStream(int bufferSize = -1, int maxSize = -1);

  // Give up to n bytes to the sink; returns how many it took. Without wait it
  // returns 0 when the sink takes nothing now; with wait it takes at least one
  // byte, or returns 0 when the sink can take nothing at all.
  virtual size_t writeSome(const uint8_t* data, size_t n, bool wait) = 0;

  // Called after each attempt to empty the buffer (and by modes that defer
  // writing); progressed tells whether bytes went out. Does nothing here.
  virtual void pendingChanged(bool progressed) {}

private:
  // One writeSome call on the pending bytes; returns the count taken.
  size_t writeOnce(bool wait);
  // Move the pending bytes to the buffer start.
  void compact();
  void grow(size_t newSize);
  // With nothing pending: a buffer above keptSize shrinks to its initial size.
  void shrinkIdle();
  // end = after the pending bytes, at most max(maxWindow, itemSize) on.
  void setWindow(size_t itemSize);

  std::unique_ptr<uint8_t[]> buffer_;
  size_t initialSize_;
  size_t bufferSize_;
  size_t maxSize_;
  uint8_t* unwritten_;
  size_t written_ = 0;
  bool debug_ = false;
};

} // namespace rdr
