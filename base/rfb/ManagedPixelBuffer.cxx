#include "base/rfb/ManagedPixelBuffer.h"

#include "base/plat/Assert.h"
#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/rfb/PixelValue.h"
#include "base/rfb/RgnRect.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace rfb {

ManagedPixelBuffer::ManagedPixelBuffer() : ManagedPixelBuffer(PixelFormat(), Rect()) {}

ManagedPixelBuffer::ManagedPixelBuffer(const PixelFormat& pf, const Rect& rect,
                                       ColourMap* colourMap)
    : ConfigurablePixelBuffer(pf, rect, colourMap, nullptr, 0) {
  allocate();
}

ManagedPixelBuffer::~ManagedPixelBuffer() = default;

int64_t ManagedPixelBuffer::sizeBytes() const { return rect_.area() * bytesPerPixel(); }

// Makes the block fit the current rectangle and format. A new block starts
// zeroed; a kept block keeps its bytes.
void ManagedPixelBuffer::allocate() {
  stride_ = std::max(rect_.width(), 0);
  const int64_t need = sizeBytes();
  if (need == 0) {
    block_.reset();
    data_ = nullptr;
    capacity_ = 0;
    return;
  }
  if (capacity_ >= need) {
    data_ = block_.get();
    return;
  }
  const Rect& rect = rect_;
  PLAT_ASSERT(Rect(RgnRect(rect)) == rect);
  if (need > INT_MAX) {
    // A 16-bit rectangle at 32 bpp can ask for up to 16 GiB, which the
    // capacity cannot count.
    dropToEmpty();
    throw plat::Exception(plat::format("Pixel buffer of %lld bytes is too large", (long long)need));
  }
  block_.reset();
  data_ = nullptr;
  capacity_ = 0;
  try {
    block_ = std::make_unique<uint8_t[]>(size_t(need));
  } catch (...) {
    dropToEmpty();
    throw;
  }
  capacity_ = int(need);
  data_ = block_.get();
}

// Keeps the invariant when no memory could be had: no pixels, no block.
void ManagedPixelBuffer::dropToEmpty() {
  block_.reset();
  data_ = nullptr;
  capacity_ = 0;
  rect_ = Rect(rect_.tl, rect_.tl);
  stride_ = 0;
}

void ManagedPixelBuffer::setPF(const PixelFormat& pf) {
  if (pf == format_)
    return;
  format_ = pf;
  allocate();
  if (data_)
    std::memset(data_, 0, size_t(sizeBytes()));
}

void ManagedPixelBuffer::setSize(int width, int height) {
  PLAT_ASSERT(width >= 0 && height >= 0);
  const int oldWidth = std::max(rect_.width(), 0);
  const int oldHeight = std::max(rect_.height(), 0);
  if (width == rect_.width() && height == rect_.height())
    return;
  const Rect newRect = Rect::fromXYWH(rect_.tl.x, rect_.tl.y, width, height);
  const int64_t need = newRect.area() * bytesPerPixel();
  if (need > 0 && capacity_ >= need) {
    rect_ = newRect;
    resizeInPlace(oldWidth, oldHeight);
    return;
  }
  std::unique_ptr<uint8_t[]> old = std::move(block_);
  const uint8_t* oldData = data_;
  capacity_ = 0;
  data_ = nullptr;
  rect_ = newRect;
  allocate();
  if (!preserveContents || !oldData || !data_)
    return;
  const size_t bytes = size_t(bytesPerPixel());
  pixelvalue::copyRows(data_, size_t(width) * bytes, oldData, size_t(oldWidth) * bytes,
                       size_t(std::min(oldWidth, width)) * bytes, std::min(oldHeight, height));
}

// Re-lays the rows inside the current block for the new width (rect_ already
// holds the new size): the overlap keeps its pixels when preserveContents is
// set, everything else becomes 0.
void ManagedPixelBuffer::resizeInPlace(int oldWidth, int oldHeight) {
  const int width = rect_.width();
  const int height = rect_.height();
  stride_ = width;
  data_ = block_.get();
  const size_t bytes = size_t(bytesPerPixel());
  const size_t newRow = size_t(width) * bytes;
  if (!preserveContents) {
    std::memset(data_, 0, size_t(sizeBytes()));
    return;
  }
  const size_t oldRow = size_t(oldWidth) * bytes;
  const size_t keptRow = std::min(oldRow, newRow);
  const int keptRows = std::min(oldHeight, height);
  // Narrower rows move towards the start, so go top-down; wider rows move
  // towards the end, so go bottom-up: either way no row is overwritten
  // before it has moved.
  for (int i = 0; i < keptRows; i++) {
    const int y = newRow <= oldRow ? i : keptRows - 1 - i;
    uint8_t* row = data_ + y * newRow;
    std::memmove(row, data_ + y * oldRow, keptRow);
    std::memset(row + keptRow, 0, newRow - keptRow);
  }
  std::memset(data_ + keptRows * newRow, 0, (height - keptRows) * newRow);
}

void ManagedPixelBuffer::setRect(const Rect& rect) {
  setPosition(rect.tl);
  setSize(std::max(rect.width(), 0), std::max(rect.height(), 0));
}

void ManagedPixelBuffer::adoptBuffer(const Rect& rect, std::unique_ptr<uint8_t[]> data,
                                     int capacity) {
  block_ = std::move(data);
  capacity_ = block_ ? capacity : 0;
  rect_ = rect;
  stride_ = std::max(rect.width(), 0);
  data_ = block_.get();
  PLAT_ASSERT(capacity_ >= sizeBytes());
}

std::unique_ptr<uint8_t[]> ManagedPixelBuffer::releaseBuffer() {
  std::unique_ptr<uint8_t[]> released = std::move(block_);
  data_ = nullptr;
  capacity_ = 0;
  rect_.br.x = rect_.tl.x;
  stride_ = 0;
  return released;
}

} // namespace rfb
