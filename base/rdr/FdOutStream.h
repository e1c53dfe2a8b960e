#pragma once

// An output stream on a descriptor (not owned). Blocking writes wait for the
// descriptor up to the stream's timeout; non-blocking ones leave what the
// descriptor does not take in the buffer and say so through the callback, so
// that the owner can watch for write readiness and bound the wait.

#include "base/rdr/BufferedLazyOutStream.h"

namespace rdr {

class FdOutStream : public BufferedLazyOutStream {
public:
  class Callback {
  public:
    // Bytes are left in the buffer that the descriptor did not take. Told
    // when pending bytes first appear and again after each write that made
    // progress but did not empty the buffer; not told while nothing moves.
    virtual void outputPending(FdOutStream& stream) = 0;
    // The buffer became empty after outputPending was told.
    virtual void outputDrained(FdOutStream& stream) = 0;
    // halfClose() was asked for: the owner closes the sending direction
    // (shutdownWrite) once everything is written.
    virtual void halfCloseRequested(FdOutStream& stream) {}

  protected:
    ~Callback() = default;
  };

  // timeoutMs < 0: blocking writes wait without limit. Sizes as for
  // BufferedOutStream.
  explicit FdOutStream(int fd, int timeoutMs = -1, int bufferSize = -1, int maxSize = -1);

  int getFd() const { return fd_; }
  int timeout() const { return timeoutMs_; }
  void setTimeout(int timeoutMs) { timeoutMs_ = timeoutMs; }
  // Not owned; null for none.
  void setCallback(Callback* callback) { callback_ = callback; }

  // Close the sending direction now. Throws plat::SystemException
  // "shutdown(SHUT_WR)".
  void shutdownWrite();
  // Close the sending direction once everything is written: left to the
  // callback's owner when there is one, else done at once after a blocking
  // flush.
  void halfClose();

protected:
  // Write errors throw plat::SystemException "write"; a blocking wait that
  // runs out throws plat::TimedOut. A peer that went away is an error
  // (EPIPE), not a signal, on sockets.
  size_t writeSome(const uint8_t* data, size_t n, bool wait) override;
  void pendingChanged(bool progressed) override;

private:
  // One write(); -1 with errno set on failure.
  ssize_t writeOnce(const uint8_t* data, size_t n, bool wait);

  int fd_;
  int timeoutMs_;
  Callback* callback_ = nullptr;
  bool reportedPending_ = false;
  // send() with MSG_NOSIGNAL until the descriptor turns out not to be a socket.
  bool useSend_ = true;
};

} // namespace rdr
