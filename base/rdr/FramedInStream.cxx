#include "base/rdr/FramedInStream.h"

#include "base/plat/Assert.h"
#include "base/rdr/BlockException.h"
#include "base/rdr/EndOfMsg.h"
#include "base/rdr/FrameException.h"

#include <algorithm>

namespace rdr {

FramedInStream::FramedInStream(InStream* underlying) : underlying_(nullptr) {
  setUnderlying(underlying);
}

FramedInStream::~FramedInStream() = default;

void FramedInStream::setUnderlying(InStream* underlying) {
  underlying_ = underlying;
  inMsg_ = lastFrame_ = false;
  frameRemaining_ = 0;
  setRewindOnBlock(underlying && underlying->rewindOnBlock());
  windowStart_ = underlying ? underlying->getPtr() : nullptr;
  ptr = end = checkpointPtr = windowStart_;
  saved_ = {false, false, 0, dataPos_};
  checkpointPos_ = dataPos_;
}

size_t FramedInStream::pos() const {
  return dataPos_ + size_t(ptr - windowStart_);
}

void FramedInStream::commit() {
  const size_t consumed = size_t(ptr - windowStart_);
  if (consumed == 0)
    return;
  frameRemaining_ -= int32_t(consumed);
  int32_t frameSize = frameRemaining_;
  PLAT_ASSERT(frameSize >= 0);
  dataPos_ += consumed;
  underlying_->setptr(underlying_->getPtr() + consumed);
  windowStart_ = underlying_->getPtr();
}

void FramedInStream::resetWindow() {
  windowStart_ = underlying_->getPtr();
  ptr = windowStart_;
  end = ptr + std::min(underlying_->avail(), size_t(frameRemaining_));
}

void FramedInStream::checkpoint() {
  if (underlying_) {
    commit();
    underlying_->checkpoint();
    resetWindow();
  }
  saved_ = {inMsg_, lastFrame_, frameRemaining_, dataPos_};
  checkpointPtr = ptr;
  checkpointPos_ = dataPos_;
}

void FramedInStream::rewind() {
  if (!rewindOnBlock())
    InStream::rewind();  // throws: nothing was kept to go back to
  underlying_->rewind();
  restoreCheckpoint();
}

void FramedInStream::restoreCheckpoint() {
  inMsg_ = saved_.inMsg;
  lastFrame_ = saved_.lastFrame;
  frameRemaining_ = saved_.frameRemaining;
  dataPos_ = saved_.dataPos;
  if (inMsg_) {
    resetWindow();
    return;
  }
  windowStart_ = ptr = end = underlying_->getPtr();
}

bool FramedInStream::nextFrame(bool wait) {
  int32_t remaining = 0;
  bool last = false;
  bool got;
  try {
    got = readHeader(remaining, last, wait);
  } catch (const BlockException&) {
    if (rewindOnBlock())
      restoreCheckpoint();
    throw;
  }
  if (!got) {
    if (rewindOnBlock())
      restoreCheckpoint();
    return false;
  }
  frameRemaining_ = remaining;
  lastFrame_ = last;
  resetWindow();
  return true;
}

bool FramedInStream::startMsg(bool wait) {
  if (inMsg_)
    return true;
  PLAT_ASSERT(underlying_);
  commit();
  if (!nextFrame(wait))
    return false;
  inMsg_ = true;
  return true;
}

bool FramedInStream::fill(size_t itemSize) {
  PLAT_ASSERT(inMsg_);
  commit();
  for (;;) {
    if (frameRemaining_ > 0) {
      // The frame goes on beyond the underlying window: refill that.
      const size_t wanted = std::min(itemSize, size_t(frameRemaining_));
      if (underlying_->avail() < wanted && !underlying_->check(false, wanted))
        return false;
      resetWindow();
      return true;
    }
    if (lastFrame_)
      throw EndOfMsg();
    // Empty frames that are not the last carry nothing: step over them.
    if (!nextFrame(false))
      return false;
  }
}

bool FramedInStream::atEnd() {
  bool inMsg = inMsg_;
  PLAT_ASSERT(inMsg);
  for (;;) {
    if (ptr < end)
      return false;
    commit();
    if (frameRemaining_ > 0)
      return false;
    if (lastFrame_)
      return true;
    nextFrame(true);
  }
}

void FramedInStream::endMsg() {
  if (!atEnd())
    throw FrameException("FramedInStream::endMsg: data left in msg");
  checkpoint();
  inMsg_ = false;
  saved_.inMsg = false;
}

void FramedInStream::skipToEnd() {
  if (!inMsg_)
    return;
  while (!atEnd()) {
    if (ptr == end)
      check(true, 1);
    ptr = end;
    checkpoint();
  }
}

} // namespace rdr
