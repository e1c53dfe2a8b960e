#include "base/io/FdKicker.h"

#include "base/io/FdKickerCallback.h"
#include "base/io/FdManager.h"
#include "base/plat/Assert.h"
#include "base/plat/Exception.h"
#include "base/rdr/BlockException.h"
#include "base/rdr/FdInStream.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace io {

namespace {

// Both ends non-blocking: a kick must never stall a signal handler, and the
// drain must stop when the pipe is empty. Close-on-exec keeps the pipe out of
// programs the process starts.
std::pair<UniqueFd, UniqueFd> makePipe() {
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) < 0)
    throw plat::SystemException("pipe", errno);
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

} // namespace

FdKicker::FdKicker(FdKickerCallback& callback) : callback_(callback) {
  auto [readEnd, writeEnd] = makePipe();
  readEnd_ = std::move(readEnd);
  writeEnd_ = std::move(writeEnd);
  fd_ = readEnd_.get();
  in_ = std::make_unique<rdr::FdInStream>(fd_);
  in_->setNonBlocking(true);

  manager_ = FdManager::current();
  PLAT_ASSERT(manager_);
  manager_->addHandler(*this);
  manager_->setEvents(*this, true, false);
}

FdKicker::~FdKicker() {
  if (manager_) {
    manager_->setEvents(*this, false, false);
    manager_->removeHandler(*this);
  }
  in_.reset();
}

void FdKicker::kick(uint8_t byte) noexcept {
  int savedErrno = errno;
  ssize_t ignored = ::write(writeEnd_.get(), &byte, 1);
  (void)ignored;
  errno = savedErrno;
}

void FdKicker::handleRead() {
  try {
    callback_.kicked(*this, *in_);
  } catch (rdr::BlockException&) {
    // The pipe ran dry: every kick so far has been seen.
  }
  in_->setptr(in_->getEnd());
  in_->checkpoint();
}

void FdKicker::fdManagerGone() {
  manager_ = nullptr;
}

} // namespace io
