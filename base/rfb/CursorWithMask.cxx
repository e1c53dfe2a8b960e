#include "base/rfb/CursorWithMask.h"

#include "base/rfb/CursorWithAlpha.h"

#include <cstring>

namespace rfb {

CursorWithMask::CursorWithMask(const PixelFormat& pf, const Rect& rect, ColourMap* colourMap)
    : Cursor(pf, rect, colourMap), mask_(maskLength(), 0) {}

void CursorWithMask::setRect(const Rect& rect) {
  const bool resized = rect.width() != width() || rect.height() != height();
  setPixelRect(rect);
  if (!resized)
    return;
  // assign() keeps the storage whenever it is large enough.
  mask_.assign(maskLength(), 0);
}

void CursorWithMask::setMaskBit(int x, int y, bool shown) {
  uint8_t& byte = mask_[y * maskRowBytes() + x / 8];
  const uint8_t bit = uint8_t(0x80 >> (x % 8));
  byte = shown ? (byte | bit) : (byte & ~bit);
}

void CursorWithMask::render(WritablePixelBuffer& target, const Point& position) const {
  if (!(target.getPF() == getPF())) {
    CursorWithMask converted(target.getPF(), getRect(), target.getColourMap());
    toMask(converted);
    converted.render(target, position);
    return;
  }
  const Rect placed = getRect().translate(position);
  const Rect clip = placed.intersect(target.getRect());
  const int bytes = pb_.bytesPerPixel();
  if (clip.isEmpty() || bytes == 0)
    return;
  for (int y = clip.tl.y; y < clip.br.y; y++) {
    const Rect row(clip.tl.x, y, clip.br.x, y + 1);
    int stride;
    uint8_t* to = target.getPixelsRW(row, &stride);
    const uint8_t* from = pb_.getPixelsR(row.translate(position.negate()), &stride);
    const int iy = y - placed.tl.y;
    for (int x = clip.tl.x; x < clip.br.x; x++) {
      const int i = x - clip.tl.x;
      if (maskBit(x - placed.tl.x, iy))
        std::memcpy(to + i * bytes, from + i * bytes, bytes);
    }
  }
}

std::unique_ptr<Cursor> CursorWithMask::clone() const {
  auto copy = std::make_unique<CursorWithMask>(getPF(), getRect(), getColourMap());
  toMask(*copy);
  return copy;
}

bool CursorWithMask::equals(const Cursor& other) const {
  const auto* o = dynamic_cast<const CursorWithMask*>(&other);
  if (!o || o->getRect() != getRect())
    return false;
  if (std::memcmp(o->mask(), mask(), maskLength()) != 0)
    return false;
  for (int y = 0; y < height(); y++)
    for (int x = 0; x < width(); x++)
      if (maskBit(x, y) && pixelAt(x, y) != o->pixelAt(x, y))
        return false;
  return true;
}

std::optional<std::vector<uint8_t>> CursorWithMask::getTwoColourBitmap(Colour* colour0,
                                                                       Colour* colour1) const {
  std::vector<uint8_t> bitmap(maskLength(), 0);
  bool haveFirst = false, haveSecond = false;
  uint32_t first = 0, second = 0;
  for (int y = 0; y < height(); y++) {
    for (int x = 0; x < width(); x++) {
      if (!maskBit(x, y))
        continue;
      const uint32_t p = pixelAt(x, y);
      if (!haveFirst) {
        first = p;
        haveFirst = true;
        continue;
      }
      if (p == first)
        continue;
      if (!haveSecond) {
        second = p;
        haveSecond = true;
      }
      if (p != second)
        return std::nullopt;
      bitmap[y * maskRowBytes() + x / 8] |= uint8_t(0x80 >> (x % 8));
    }
  }
  *colour0 = getPF().rgbaFromPixel(first, getColourMap());
  *colour1 = getPF().rgbaFromPixel(second, getColourMap());
  colour0->a = colour1->a = 255;
  return bitmap;
}

void CursorWithMask::crop() {
  if (!clampHotspotOntoImage()) {
    setRect(Rect());
    return;
  }
  const Rect box = shownBounds([this](int x, int y) { return maskBit(x, y); });
  if (box == getRect())
    return;
  // The box lies within the rectangle: gather its mask bits before the
  // rectangle changes.
  const Point origin = box.tl - getRect().tl;
  const int rowBytes = (box.width() + 7) / 8;
  std::vector<uint8_t> kept(size_t(rowBytes) * box.height(), 0);
  for (int y = 0; y < box.height(); y++)
    for (int x = 0; x < box.width(); x++)
      if (maskBit(origin.x + x, origin.y + y))
        kept[y * rowBytes + x / 8] |= uint8_t(0x80 >> (x % 8));
  cropPixelsTo(box);
  mask_.assign(kept.begin(), kept.end());
}

void CursorWithMask::toMask(CursorWithMask& out) const {
  out.setRect(getRect());
  out.pixels().translateRect(pb_, getRect().tl, getRect(), Blend::copy);
  std::memcpy(out.mask(), mask(), maskLength());
}

void CursorWithMask::toAlpha(CursorWithAlpha& out) const {
  out.setRect(getRect());
  ManagedPixelBuffer& to = out.pixels();
  to.fillRect(to.getRect(), 0);
  const PixelFormat& outPF = out.getPF();
  for (int y = 0; y < height(); y++) {
    for (int x = 0; x < width(); x++) {
      if (!maskBit(x, y))
        continue;
      Colour c = getPF().rgbaFromPixel(pixelAt(x, y), getColourMap());
      c.a = 255;
      to.setPixel(x + getRect().tl.x, y + getRect().tl.y, outPF.pixelFromRGBA(c, nullptr));
    }
  }
}

} // namespace rfb
