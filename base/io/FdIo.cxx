#include "base/io/FdIo.h"

#include "base/io/FdManager.h"
#include "base/io/IoHandler.h"
#include "base/plat/Assert.h"
#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/IntParameter.h"
#include "base/plat/LogSrc.h"
#include "base/rdr/BlockException.h"
#include "base/rdr/FdInStream.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace io {

namespace {

plat::LogSrc vlog("FdIo");

plat::IntParameter lazyFlushTimeout(
  "LazyFlushTimeout",
  "Maximum number of seconds for which attempts should be made to flush data to an "
  "unresponsive client (maximum 49 days)",
  60, 1, INT_MAX);

// Seconds above this overflow a millisecond count held in an int.
constexpr int maxPeriodSeconds = INT_MAX / 1000;

const char* boolText(bool flag) {
  return flag ? "true" : "false";
}

void setNonBlockingFlag(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
    throw plat::SystemException("fcntl", errno);
}

} // namespace

FdIo::FdIo(int fd, bool ownsFd, bool writeReady, const FdStreamSettings& in,
           const FdStreamSettings& out, bool makeNonBlocking)
  : writeReadyRequested_(writeReady), flushTimer_(*this), shutdownTimer_(*this) {
  if (fd < 0)
    return;
  try {
    setFd(fd, ownsFd, in, out, makeNonBlocking);
  } catch (...) {
    // The destructor will not run; an owned descriptor must not leak.
    if (ownsFd)
      ::close(fd);
    throw;
  }
}

FdIo::~FdIo() {
  setHandler(nullptr, true);
  in_.reset();
  out_.reset();
  flushTimer_.stop();
  shutdownTimer_.stop();
  if (ownsFd_ && fd_ >= 0)
    ::close(fd_);
}

void FdIo::setFd(int newFd, bool ownsFd, const FdStreamSettings& in, const FdStreamSettings& out,
                 bool makeNonBlocking) {
  int fd = fd_;
  PLAT_ASSERT(fd < 0);
  if (makeNonBlocking)
    setNonBlockingFlag(newFd);
  in_ = std::make_unique<rdr::FdInStream>(newFd, in.timeoutMs, in.bufferSize);
  out_ = std::make_unique<rdr::FdOutStream>(newFd, out.timeoutMs, out.bufferSize, out.maxSize);
  out_->setLazy(out.lazy);
  out_->setCallback(this);
  fd_ = newFd;
  ownsFd_ = ownsFd;
  name_.clear();
  // Attached before the descriptor existed: the streams follow the handler.
  switchStreams(handler_ != nullptr);
}

rdr::InStream& FdIo::inStream() {
  return *in_;
}

rdr::OutStream& FdIo::outStream() {
  return *out_;
}

const std::string& FdIo::name() {
  if (name_.empty())
    name_ = plat::format("<fd%d>", fd_);
  return name_;
}

int FdIo::lazyFlushPeriodMs(int seconds) {
  if (seconds > maxPeriodSeconds)
    return INT_MAX;
  return seconds * 1000;
}

int FdIo::lazyFlushPeriodMs() {
  return lazyFlushPeriodMs(lazyFlushTimeout);
}

void FdIo::setInterest(bool read, bool write) {
  if (manager_ && (read != readInterest_ || write != writeInterest_))
    manager_->setEvents(*this, read, write);
  readInterest_ = manager_ && read;
  writeInterest_ = manager_ && write;
}

void FdIo::setHandler(IoHandler* handler, bool wantRead) {
  if (handler && !manager_) {
    FdManager* fdMgr = FdManager::current();
    PLAT_ASSERT(fdMgr);
    manager_ = fdMgr;
    manager_->addHandler(*this);
  }
  handler_ = handler;
  if (state_ != shuttingDown)
    setInterest(handler && wantRead, handler && writeReadyRequested_);

  if (handler) {
    // Bytes read ahead (or a timeout already noticed) would otherwise wait
    // for the descriptor to become readable again.
    if (wantRead && in_ && (in_->avail() > 0 || in_->isTimedOut()))
      manager_->requestRead(*this);
    if (!writeReadyRequested_)
      manager_->requestWrite(*this);
    manager_->startDispatchTimer();
  } else {
    flushTimer_.stop();
    if (manager_) {
      setInterest(false, false);
      manager_->removeHandler(*this);
      manager_ = nullptr;
    }
  }
  switchStreams(handler != nullptr);
}

void FdIo::switchStreams(bool nonBlocking) {
  if (in_)
    in_->setNonBlocking(nonBlocking);
  if (!out_)
    return;
  try {
    out_->setNonBlocking(nonBlocking);
  } catch (plat::Exception& e) {
    vlog.error("setHandler: %s", e.describe().c_str());
  }
}

void FdIo::requestRead() {
  if (state_ == shuttingDown || !manager_)
    return;
  manager_->requestRead(*this);
}

int FdIo::beginHalfClose() {
  State previous = state_;
  if (state_ != open)
    return previous;
  state_ = halfClosing;
  if (manager_) {
    // The write pass closes the direction once the buffer is empty; without
    // it an already empty buffer would never get there.
    manager_->requestWrite(*this);
    return previous;
  }
  // No loop drives this object: finish the output and close now.
  out_->flush();
  closeSendingDirection();
  return previous;
}

void FdIo::closeSendingDirection() {
  if (sendingClosed_)
    return;
  out_->shutdownWrite();
  sendingClosed_ = true;
  setInterest(readInterest_, false);
}

int FdIo::socketError() {
  if (socketError_ >= 0)
    return socketError_;
  int err = 0;
  socklen_t length = sizeof err;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &length) < 0)
    throw plat::SystemException("getsockopt", errno);
  socketError_ = err;
  return err;
}

void FdIo::handleRead() {
  IoHandler* handler = handler_;
  PLAT_ASSERT(handler);
  try {
    handler->dataAvailable(*this);
  } catch (rdr::BlockException&) {
    // Nothing more to read for now.
  } catch (plat::Exception& e) {
    vlog.status("Read error: %s", e.describe().c_str());
    shutdown(false, true);
  }
}

void FdIo::handleWrite() {
  writeReadyRequested_ = false;
  if (writeInterest_)
    setInterest(readInterest_, false);
  try {
    if (out_ && out_->bufferedBytes() > 0) {
      // The stream reports pending output only when it appears or moves; a
      // pass that wrote nothing must still leave us waiting for writability.
      if (!out_->writePending(false) && !writeInterest_)
        setInterest(readInterest_, true);
    } else if (state_ == shuttingDown) {
      shutdownTimer_.start(0);
    } else if (state_ == halfClosing) {
      closeSendingDirection();
    } else {
      IoHandler* handler = handler_;
      PLAT_ASSERT(handler);
      handler->writeReady(*this);
    }
  } catch (plat::Exception& e) {
    vlog.status("Write error: %s", e.describe().c_str());
    shutdown(false, true);
  }
}

void FdIo::outputPending(rdr::FdOutStream&) {
  // Without a loop the stream is blocking and nothing is left behind for
  // long; there is nobody to wait for write readiness either.
  if (!manager_)
    return;
  if (!writeInterest_)
    setInterest(readInterest_, true);
  // Restarted on every bit of progress: the period bounds a stall, not the
  // whole transfer.
  flushTimer_.start(lazyFlushPeriodMs());
}

void FdIo::outputDrained(rdr::FdOutStream&) {
  flushTimer_.stop();
  if (!manager_)
    return;
  // A pending shutdown, half-close or writeReady proceeds in the write pass.
  manager_->requestWrite(*this);
}

void FdIo::halfCloseRequested(rdr::FdOutStream&) {
  beginHalfClose();
}

bool FdIo::timerFired(plat::Timer& timer) {
  // Both paths may destroy this object: nothing may touch it afterwards,
  // and the timers do not repeat.
  if (&timer == &flushTimer_)
    flushTimerFired();
  else
    shutdownTimerFired();
  return false;
}

void FdIo::flushTimerFired() {
  vlog.info("flush timer");
  if (state_ == shuttingDown) {
    // The peer stopped taking data: give up on the rest.
    shutdownTimer_.start(0);
    return;
  }
  IoHandler* handler = handler_;
  PLAT_ASSERT(handler);
  // The handler's next read fails with "Timed out", which shuts the
  // connection down through handleRead.
  in_->setTimedOut(true);
  if (readInterest_)
    manager_->requestRead(*this);
}

void FdIo::shutdown(bool flush, bool tellHandler) {
  vlog.info("shutdown %p (fd=%d), flush %s (tellHandler %s)", (void*)this, fd_, boolText(flush),
            boolText(tellHandler));
  if (!manager_) {
    PLAT_ASSERT(!tellHandler);
    vlog.info("immediate shutdown %p (fd=%d)", (void*)this, fd_);
    destroySelf();
    return;
  }
  state_ = shuttingDown;
  // Told unconditionally: it also drops read or write passes that were
  // requested without interest, which would reach a forgotten handler.
  manager_->setEvents(*this, false, false);
  readInterest_ = writeInterest_ = false;
  if (!tellHandler)
    handler_ = nullptr;
  if (flush)
    manager_->requestWrite(*this);
  else
    shutdownTimer_.start(0);
}

void FdIo::tellShutdownComplete() {
  if (!handler_)
    return;
  try {
    handler_->shutdownComplete(*this);
  } catch (plat::Exception& e) {
    vlog.status("Shutdown error: %s", e.describe().c_str());
  }
}

void FdIo::shutdownTimerFired() {
  vlog.info("shutdown complete %p (fd=%d)", (void*)this, fd_);
  tellShutdownComplete();
  if (manager_) {
    manager_->removeHandler(*this);
    manager_ = nullptr;
  }
  destroySelf();
}

void FdIo::fdManagerGone() {
  if (state_ == shuttingDown) {
    tellShutdownComplete();
    vlog.info("shutdown completed by FdManager dtor %p (fd=%d)", (void*)this, fd_);
    manager_ = nullptr;
    destroySelf();
    return;
  }
  flushTimer_.stop();
  handler_ = nullptr;
  manager_ = nullptr;
  readInterest_ = writeInterest_ = false;
}

void FdIo::destroySelf() {
  // A shutting-down connection owns itself (see the file comment).
  delete this;
}

} // namespace io
