#pragma once

// kwo-serve's own copy of the picture it serves. LibVNCServer reads it and
// draws its software cursor into it (for viewers that do not take cursor
// shapes); the agent's shared buffer, mapped read-only, is only read.
//
// On each "fbUpdate" the copied and changed regions are taken from the
// agent's buffer in 16x16 blocks that are compared as they are copied
// (rfb::PixelBufferComparer), and only the blocks that really differ are
// reported: a polling agent, a scroll that redraws the same text or a
// repaint with equal pixels costs nothing on the wire.
//
// The copy is in the agent's format when LibVNCServer can serve that
// format, otherwise in PixelAccess::translatedFormat(), converted as it is
// read. Its memory is one frame: width * height * bytes per pixel.
//
// Ownership: owns the copy; the agent's pixels are not owned and must stay
// mapped until the next follow(), showBlack() or the destruction. data()
// stays valid until the next follow() or showBlack().

#include "base/rfb/PixelBufferComparer.h"
#include "base/rfb/PixelFormat.h"
#include "base/rfb/Point.h"
#include "base/rfb/Region.h"

#include <cstdint>
#include <memory>

namespace kwoserve {

class FrameCopy {
public:
  // Destination = source + offset for the copied region.
  using Changes = rfb::PixelBufferComparer::Update;

  FrameCopy();
  ~FrameCopy();
  FrameCopy(const FrameCopy&) = delete;
  FrameCopy& operator=(const FrameCopy&) = delete;

  // Black, of this size (at least 1x1), in a servable form of `pf`;
  // follows nothing.
  void showBlack(int width, int height, const rfb::PixelFormat& pf);
  // Follows the agent's pixels (stride in pixels) and takes all of them now.
  void follow(const uint8_t* pixels, int width, int height, uint32_t stride,
              const rfb::PixelFormat& pf);

  // An "fbUpdate": the agent has moved the copied pixels and grabbed both
  // regions. Returns the part of it that really changed the picture; empty
  // while following nothing.
  Changes update(const rfb::Region& copied, const rfb::Point& offset,
                 const rfb::Region& changed);

  bool following() const { return source_ != nullptr; }
  bool translating() const { return translated_ != nullptr; }

  // The served picture; rows of width() pixels.
  uint8_t* data() const { return comparer_.getCopy().data(); }
  const rfb::PixelFormat& pf() const { return comparer_.getCopy().getPF(); }
  int width() const { return comparer_.getCopy().width(); }
  int height() const { return comparer_.getCopy().height(); }
  int bytesPerRow() const { return width() * comparer_.getCopy().bytesPerPixel(); }

private:
  std::unique_ptr<rfb::PixelBuffer> source_;
  std::unique_ptr<rfb::PixelBuffer> translated_;
  rfb::PixelBufferComparer comparer_;
};

} // namespace kwoserve
