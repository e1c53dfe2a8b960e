#pragma once

// An input stream on a descriptor (not owned; see FdInStreamOwn). In blocking
// mode a read waits for data up to the stream's timeout; in non-blocking mode
// it reports "nothing now" at once.

#include "base/rdr/BufferedNonBlockableInStream.h"

namespace rdr {

class FdInStream : public BufferedNonBlockableInStream {
public:
  // timeoutMs < 0: blocking reads wait without limit. bufferSize as for
  // BufferedInStream.
  explicit FdInStream(int fd, int timeoutMs = -1, int bufferSize = -1, bool rewindOnBlock = false);

  int getFd() const { return fd_; }
  int timeout() const { return timeoutMs_; }
  void setTimeout(int timeoutMs) { timeoutMs_ = timeoutMs; }

  // Once marked, every read from the descriptor throws plat::TimedOut: the
  // connection is being given up (its peer stopped taking our data).
  void setTimedOut(bool flag) { timedOut_ = flag; }
  bool isTimedOut() const { return timedOut_; }

protected:
  // Throws rdr::EndOfStream when the peer closed, plat::TimedOut when marked
  // or when a blocking wait runs out, plat::SystemException for errors.
  size_t readSome(uint8_t* buffer, size_t max) override;

private:
  int fd_;
  int timeoutMs_;
  bool timedOut_ = false;
};

} // namespace rdr
