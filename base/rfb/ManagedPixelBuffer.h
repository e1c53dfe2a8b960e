#pragma once

// A configurable pixel buffer that owns its memory.
// Invariants: capacity() >= sizeBytes(); the stride equals the width; the
// block never shrinks while the image needs any memory (an image of 0 bytes
// releases it).

#include "base/rfb/ConfigurablePixelBuffer.h"

#include <cstdint>
#include <memory>

namespace rfb {

class ManagedPixelBuffer : public ConfigurablePixelBuffer {
public:
  // Empty (0 x 0 at 0,0), default format.
  ManagedPixelBuffer();
  // All pixels start as 0. Throws plat::Exception when the image needs more
  // than 2^31 - 1 bytes, std::bad_alloc when memory runs out.
  ManagedPixelBuffer(const PixelFormat& pf, const Rect& rect, ColourMap* colourMap = nullptr);
  ~ManagedPixelBuffer() override;

  // A different format clears every pixel to 0; an equal one changes nothing.
  void setPF(const PixelFormat& pf) override;
  // A different size clears the pixels to 0, except, with preserveContents,
  // the part the old and new rectangles share (both anchored at the top-left).
  // On an allocation failure the buffer is left empty (width and height 0) and
  // the exception propagates.
  void setSize(int width, int height) override;
  // setPosition and setSize together.
  void setRect(const Rect& rect);

  // Takes `data`, of `capacity` bytes, as the pixels of `rect`. A capacity
  // too small for the image is a programming error that ends the process.
  void adoptBuffer(const Rect& rect, std::unique_ptr<uint8_t[]> data, int capacity);
  // Hands the memory to the caller and leaves the buffer empty (width 0,
  // capacity 0). Null when the buffer held no memory.
  std::unique_ptr<uint8_t[]> releaseBuffer();

  // width * height * bpp/8 (0 for an empty rectangle).
  int64_t sizeBytes() const;
  int capacity() const { return capacity_; }

  // Keep the overlapping pixels on setSize; false after construction.
  bool preserveContents = false;

private:
  void allocate();
  void resizeInPlace(int oldWidth, int oldHeight);
  void dropToEmpty();

  std::unique_ptr<uint8_t[]> block_;
  int capacity_ = 0;
};

} // namespace rfb
