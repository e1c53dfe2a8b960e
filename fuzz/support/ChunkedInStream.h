#pragma once

// An input stream fed by the test in pieces, standing in for a socket: when
// the bytes fed so far are used up it has "nothing now" (a non-blocking
// stream then rewinds to its checkpoint and throws rdr::BlockException),
// and once closed and drained it ends with rdr::EndOfStream, as a socket
// whose peer has gone does. Buffering is the stream default, as for a
// descriptor stream.

#include "base/rdr/BufferedNonBlockableInStream.h"

#include <cstdint>
#include <deque>
#include <span>

namespace fuzz {

class ChunkedInStream : public rdr::BufferedNonBlockableInStream {
public:
  ChunkedInStream() = default;

  void feed(std::span<const uint8_t> bytes);
  // No byte follows what was fed.
  void close() { closed_ = true; }
  size_t unread() const { return pending_.size(); }

protected:
  size_t readSome(uint8_t* buffer, size_t max) override;

private:
  std::deque<uint8_t> pending_;
  bool closed_ = false;
};

} // namespace fuzz
