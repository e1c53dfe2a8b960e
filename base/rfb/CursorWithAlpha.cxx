#include "base/rfb/CursorWithAlpha.h"

#include "base/rfb/CursorWithMask.h"
#include "base/rfb/RgnRect.h"

#include <cstring>

namespace rfb {

namespace {

PixelFormat littleEndianWherePossible(PixelFormat pf) {
  pf.makeLittleEndian();
  return pf;
}

} // namespace

CursorWithAlpha::CursorWithAlpha(const PixelFormat& pf, const Rect& rect)
    : Cursor(littleEndianWherePossible(pf), rect, nullptr) {}

std::unique_ptr<CursorWithAlpha> CursorWithAlpha::fromImage(int width, int height, int xhot,
                                                            int yhot, const unsigned long* pixels) {
  if (width < 0 || height < 0)
    return nullptr;
  // 64-bit: the X server's sizes and hotspot are 16-bit unsigned values.
  const int64_t x1 = -int64_t(xhot), y1 = -int64_t(yhot);
  const int64_t x2 = x1 + width, y2 = y1 + height;
  for (int64_t v : {x1, y1, x2, y2})
    if (v != RgnRect::clamp(v))
      return nullptr;
  auto cursor = std::make_unique<CursorWithAlpha>(PixelFormat::argb8888(),
                                                  Rect(int(x1), int(y1), int(x2), int(y2)));
  ManagedPixelBuffer& pb = cursor->pixels();
  for (int y = 0; y < height; y++) {
    int stride;
    uint8_t* row = pb.getPixelsRW(Rect(int(x1), int(y1) + y, int(x2), int(y1) + y + 1), &stride);
    for (int x = 0; x < width; x++) {
      const uint32_t value = uint32_t(pixels[size_t(y) * width + x]);
      std::memcpy(row + size_t(x) * 4, &value, 4);
    }
  }
  return cursor;
}

void CursorWithAlpha::setRect(const Rect& rect) { setPixelRect(rect); }

uint32_t CursorWithAlpha::alphaAt(int x, int y) const {
  return getPF().rgbaFromPixel(pixelAt(x, y)).a;
}

bool CursorWithAlpha::isShown(int x, int y) const {
  const PixelFormat& pf = getPF();
  if (!pf.hasAlpha())
    return true;
  const uint32_t logical = pf.toLogical(pixelAt(x, y));
  return pf.alphaShift < 32 && ((logical >> pf.alphaShift) & pf.alphaMax) != 0;
}

void CursorWithAlpha::render(WritablePixelBuffer& target, const Point& position) const {
  target.translateRect(pb_, getRect().tl, getRect().translate(position), Blend::over);
}

std::unique_ptr<Cursor> CursorWithAlpha::clone() const {
  auto copy = std::make_unique<CursorWithAlpha>(getPF(), getRect());
  toAlpha(*copy);
  return copy;
}

bool CursorWithAlpha::equals(const Cursor& other) const {
  const auto* o = dynamic_cast<const CursorWithAlpha*>(&other);
  if (!o || !(o->getPF() == getPF()) || o->getRect() != getRect())
    return false;
  if (getRect().isEmpty())
    return true;
  const size_t rowBytes = size_t(width()) * pb_.bytesPerPixel();
  for (int y = getRect().tl.y; y < getRect().br.y; y++) {
    const Rect row(getRect().tl.x, y, getRect().br.x, y + 1);
    int stride;
    if (std::memcmp(pb_.getPixelsR(row, &stride), o->pb_.getPixelsR(row, &stride), rowBytes))
      return false;
  }
  return true;
}

std::optional<std::vector<uint8_t>> CursorWithAlpha::getTwoColourBitmap(Colour*, Colour*) const {
  return std::nullopt;
}

void CursorWithAlpha::crop() {
  if (!clampHotspotOntoImage()) {
    setRect(Rect());
    return;
  }
  const Rect box = shownBounds([this](int x, int y) { return isShown(x, y); });
  if (box != getRect())
    cropPixelsTo(box);
}

void CursorWithAlpha::toMask(CursorWithMask& out) const {
  out.setRect(getRect());
  out.pixels().translateRect(pb_, getRect().tl, getRect(), Blend::copy);
  for (int y = 0; y < height(); y++)
    for (int x = 0; x < width(); x++)
      out.setMaskBit(x, y, alphaAt(x, y) > uint32_t(alphaThreshold));
}

void CursorWithAlpha::toAlpha(CursorWithAlpha& out) const {
  out.setRect(getRect());
  out.pixels().translateRect(pb_, getRect().tl, getRect(), Blend::copy);
}

} // namespace rfb
