#include "base/rdr/FdOutStream.h"

#include "base/plat/Exception.h"
#include "base/rdr/FdCalls.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace rdr {

FdOutStream::FdOutStream(int fd, int timeoutMs, int bufferSize, int maxSize)
  : BufferedLazyOutStream(bufferSize, maxSize), fd_(fd), timeoutMs_(timeoutMs) {}

ssize_t FdOutStream::writeOnce(const uint8_t* data, size_t n, bool wait) {
  if (useSend_) {
    ssize_t r = ::send(fd_, data, n, MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
    if (r >= 0 || errno != ENOTSOCK)
      return r;
    useSend_ = false;
  }
  return ::write(fd_, data, n);
}

size_t FdOutStream::writeSome(const uint8_t* data, size_t n, bool wait) {
  // A blocking descriptor would make write() ignore the time limit.
  if (wait && timeoutMs_ >= 0)
    waitForFd(fd_, true, timeoutMs_);
  for (;;) {
    ssize_t r = writeOnce(data, n, wait);
    if (r >= 0)
      return size_t(r);
    if (errno == EINTR)
      continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK)
      throw plat::SystemException("write", errno);
    if (!wait)
      return 0;
    waitForFd(fd_, true, timeoutMs_);
  }
}

void FdOutStream::pendingChanged(bool progressed) {
  if (!callback_)
    return;
  if (bufferedBytes() == 0) {
    if (reportedPending_) {
      reportedPending_ = false;
      callback_->outputDrained(*this);
    }
    return;
  }
  if (reportedPending_ && !progressed)
    return;
  reportedPending_ = true;
  callback_->outputPending(*this);
}

void FdOutStream::shutdownWrite() {
  if (::shutdown(fd_, SHUT_WR) < 0)
    throw plat::SystemException("shutdown(SHUT_WR)", errno);
}

void FdOutStream::halfClose() {
  if (callback_) {
    callback_->halfCloseRequested(*this);
    return;
  }
  writePending(true);
  shutdownWrite();
}

} // namespace rdr
