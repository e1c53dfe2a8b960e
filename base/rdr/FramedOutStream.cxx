#include "base/rdr/FramedOutStream.h"

#include "base/plat/Assert.h"
#include "base/plat/Exception.h"
#include "base/rdr/FrameException.h"

#include <algorithm>

namespace rdr {

FramedOutStream::FramedOutStream(OutStream* underlying, size_t maxFrameData, size_t hdrSize)
  : underlying_(underlying), maxFrameData_(maxFrameData), hdrSize_(hdrSize) {}

FramedOutStream::~FramedOutStream() = default;

void FramedOutStream::setUnderlying(OutStream* underlying) {
  underlying_ = underlying;
  inMsg_ = inFrame_ = startOfMsg_ = false;
  ptr = end = frameData_ = nullptr;
}

void FramedOutStream::startMsg() {
  if (inMsg_)
    throw FrameException("FramedOutStream::startMsg: already in msg");
  PLAT_ASSERT(underlying_);
  inMsg_ = true;
  startOfMsg_ = true;
  startFrame(1);
}

void FramedOutStream::endMsg(bool flush) {
  if (!inFrame_)
    throw FrameException("FramedOutStream::endMsg: not in frame");
  endFrame(true);
  inMsg_ = false;
  if (flush)
    underlying_->flush();
}

void FramedOutStream::abandonMsg() {
  if (!inMsg_)
    return;
  if (!inFrame_)
    startFrame(0);
  endFrame(true);
  inMsg_ = false;
}

void FramedOutStream::flush() {
  if (!inMsg_) {
    if (underlying_)
      underlying_->flush();
    return;
  }
  if (inFrame_)
    endFrame(false);
  underlying_->flush();
  startFrame(1);
}

size_t FramedOutStream::length() const {
  return completed_ + (inFrame_ ? frameLength() : 0);
}

bool FramedOutStream::isNonBlocking() const {
  return underlying_ && underlying_->isNonBlocking();
}

size_t FramedOutStream::bufferedBytes() const {
  return underlying_ ? underlying_->bufferedBytes() : 0;
}

size_t FramedOutStream::overrun(size_t itemSize, size_t nItems) {
  if (itemSize > maxFrameData_)
    throw plat::Exception("FramedOutStream overrun: item larger than a frame");
  endFrame(false);
  startFrame(itemSize);
  return std::clamp(size_t(end - ptr) / itemSize, size_t(1), nItems);
}

void FramedOutStream::startFrame(size_t minSize) {
  PLAT_ASSERT(!inFrame_);
  // Room is made before the header is reserved: the underlying stream may
  // move its buffer, and no frame points into it now.
  if (underlying_->spaceAvailable() < hdrSize_ + minSize)
    underlying_->overrun(hdrSize_ + minSize, 1);
  frameData_ = underlying_->getPtr() + hdrSize_;
  ptr = frameData_;
  end = std::min(underlying_->getEnd(), frameData_ + maxFrameData_);
  inFrame_ = true;
}

void FramedOutStream::endFrame(bool last) {
  if (!inFrame_)
    throw FrameException("FramedOutStream::endFrame: not in frame");
  inFrame_ = false;
  const size_t length = frameLength();
  ptr = end = underlying_->getPtr();
  if (!last && length == 0)
    return;
  // Someone wrote to the underlying stream while the frame was open: the
  // reserved header (and our data) no longer lie ahead of its ptr.
  if (underlying_->getPtr() + hdrSize_ != frameData_ ||
      underlying_->spaceAvailable() < hdrSize_ + length)
    throw FrameException("FramedOutStream::endFrame: no space for header");
  writeHeader(length, last, startOfMsg_);
  PLAT_ASSERT(frameData_ == underlying_->getPtr());
  underlying_->setptr(frameData_ + length);
  completed_ += length;
  startOfMsg_ = false;
  ptr = end = underlying_->getPtr();
}

} // namespace rdr
