#pragma once

// The agent's screen image as the server sees it: the shared-memory segment
// announced by "setPixelBuffer", mapped here, with the rectangle, pixel
// format and stride of the last announcement. Pixel (x, y) of the rectangle
// lies at pixels() + ((y - rect.y1) * stride + (x - rect.x1)) * bytes per
// pixel. The agent writes the pixels; this side only reads them, after the
// "fbUpdate" naming them has arrived. The segment is mapped read-only: a
// write from this side is a crash, never a change the agent would see.
//
// Invariant: while valid(), the whole announced area (rows of stride
// pixels, the last one width pixels long) lies inside the mapped segment.
//
// Ownership: owns the mapping (unmapped or detached on destruction and when
// replaced). Threading: the loop thread only.
// Failures: update() throws plat::Exception when the announcement cannot be
// honoured (segment cannot be opened, area does not fit the segment, bad
// pixel format, no segment announced yet); the buffer is then left empty
// (not valid) until the next good announcement.

#include "base/plat/unix/SharedMem.h"
#include "base/rfb/PixelFormat.h"
#include "base/rfb/Rect.h"

#include <cstdint>
#include <memory>

namespace agentmsg {
struct SegmentDescription;
struct SetPixelBuffer;
} // namespace agentmsg

namespace agenthost {

class SharedPixelBuffer {
public:
  SharedPixelBuffer();
  ~SharedPixelBuffer();
  SharedPixelBuffer(const SharedPixelBuffer&) = delete;
  SharedPixelBuffer& operator=(const SharedPixelBuffer&) = delete;

  // Applies an announcement: maps the new segment when one is described,
  // otherwise keeps the current one with the new rectangle, format and
  // stride.
  void update(const agentmsg::SetPixelBuffer& msg);
  // Unmaps and forgets everything.
  void clear();

  bool valid() const { return valid_; }
  // Null while not valid.
  const uint8_t* pixels() const { return valid_ ? segment_->data() : nullptr; }
  const rfb::PixelFormat& pf() const { return pf_; }
  const rfb::Rect& rect() const { return rect_; }
  // In pixels.
  uint32_t stride() const { return stride_; }
  // The pixel at (x, y), which must lie in rect(); null when not valid.
  const uint8_t* pixelAt(int x, int y) const;
  // The mapped segment, null when none.
  const plat::SharedMem* segment() const { return segment_.get(); }

  // Opens the segment a description names, read-only, creating nothing. Throws
  // plat::Exception for an ordinary-file description: the agent never
  // sends one, and a peer must not make us map files of its choosing.
  static std::unique_ptr<plat::SharedMem> open(const agentmsg::SegmentDescription& description);

private:
  void checkFits() const;

  std::unique_ptr<plat::SharedMem> segment_;
  rfb::PixelFormat pf_;
  rfb::Rect rect_;
  uint32_t stride_ = 0;
  bool valid_ = false;
};

} // namespace agenthost
