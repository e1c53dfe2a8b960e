#include "libs/agenthost/SharedPixelBuffer.h"

#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/unix/SharedMemPosix.h"
#include "base/plat/unix/SharedMemSysV.h"
#include "libs/agentmsg/FromAgentMsgs.h"

namespace agenthost {

SharedPixelBuffer::SharedPixelBuffer() = default;
SharedPixelBuffer::~SharedPixelBuffer() = default;

std::unique_ptr<plat::SharedMem> SharedPixelBuffer::open(const agentmsg::SegmentDescription& description) {
  // Read-only: this side must never change the agent's pixels.
  constexpr auto readOnly = plat::SharedMem::Access::readOnly;
  if (description.type == agentmsg::SegmentDescription::sysV)
    return plat::SharedMemSysV::attach(description.id, description.size, readOnly);
  if (description.isFile)
    throw plat::Exception(
        plat::format("Refusing to map the file '%s' as a pixel buffer", description.name.c_str()));
  return plat::SharedMemPosix::receive(description.name, description.size, false,
                                       description.position, readOnly);
}

void SharedPixelBuffer::update(const agentmsg::SetPixelBuffer& msg) {
  valid_ = false;
  if (msg.segment) {
    // The old mapping goes first: the agent has replaced the segment.
    segment_.reset();
    segment_ = open(*msg.segment);
  }
  if (!segment_)
    throw plat::Exception("setPixelBuffer: no shared memory segment announced");
  pf_ = msg.pf;
  rect_ = msg.rect;
  stride_ = msg.stride;
  checkFits();
  valid_ = true;
}

void SharedPixelBuffer::checkFits() const {
  if (pf_.bpp != 8 && pf_.bpp != 16 && pf_.bpp != 32)
    throw plat::Exception(plat::format("setPixelBuffer: %d bits per pixel", int(pf_.bpp)));
  if (rect_.isEmpty())
    return;
  uint64_t width = uint64_t(rect_.width());
  uint64_t height = uint64_t(rect_.height());
  if (stride_ < width)
    throw plat::Exception(plat::format("setPixelBuffer: stride %u below width %llu", stride_,
                                       (unsigned long long)width));
  // Below 2^32 * 2^31 + 2^31 pixels of at most 4 bytes: no overflow in 64 bits.
  uint64_t bytes = ((height - 1) * stride_ + width) * uint64_t(pf_.bytesPerPixel());
  if (bytes > segment_->size())
    throw plat::Exception(plat::format("setPixelBuffer: %s with stride %u needs %llu bytes, "
                                       "the segment has %u",
                                       rect_.printWH().c_str(), stride_,
                                       (unsigned long long)bytes, segment_->size()));
}

void SharedPixelBuffer::clear() {
  valid_ = false;
  segment_.reset();
  rect_ = rfb::Rect();
  stride_ = 0;
}

const uint8_t* SharedPixelBuffer::pixelAt(int x, int y) const {
  if (!valid_ || !rect_.contains(rfb::Point(x, y)))
    return nullptr;
  size_t offset = (size_t(y - rect_.tl.y) * stride_ + size_t(x - rect_.tl.x)) * pf_.bytesPerPixel();
  return segment_->data() + offset;
}

} // namespace agenthost
