#include "base/rdr/FdInStream.h"

#include "base/plat/Exception.h"
#include "base/rdr/FdCalls.h"

namespace rdr {

FdInStream::FdInStream(int fd, int timeoutMs, int bufferSize, bool rewindOnBlock)
  : BufferedNonBlockableInStream(bufferSize, rewindOnBlock), fd_(fd), timeoutMs_(timeoutMs) {}

size_t FdInStream::readSome(uint8_t* buffer, size_t max) {
  if (timedOut_)
    throw plat::TimedOut();
  // A blocking descriptor would make read() ignore the time limit.
  if (!isNonBlocking() && timeoutMs_ >= 0)
    waitForFd(fd_, false, timeoutMs_);
  for (;;) {
    size_t n = readFd(fd_, buffer, max);
    if (n > 0 || isNonBlocking())
      return n;
    waitForFd(fd_, false, timeoutMs_);
  }
}

} // namespace rdr
