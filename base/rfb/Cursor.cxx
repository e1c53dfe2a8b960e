#include "base/rfb/Cursor.h"

#include <algorithm>

namespace rfb {

Cursor::Cursor(const PixelFormat& pf, const Rect& rect, ColourMap* colourMap)
    : pb_(pf, rect, colourMap) {}

Cursor::~Cursor() = default;

uint32_t Cursor::pixelAt(int x, int y) const {
  return pb_.getPixel(x + getRect().tl.x, y + getRect().tl.y);
}

void Cursor::setPixelRect(const Rect& rect) { pb_.setRect(rect); }

bool Cursor::clampHotspotOntoImage() {
  if (width() <= 0 || height() <= 0)
    return false;
  const Point h = hotspot();
  const Point clamped(std::clamp(h.x, 0, width() - 1), std::clamp(h.y, 0, height() - 1));
  pb_.setPosition(clamped.negate());
  return true;
}

void Cursor::includeImagePixel(Rect* box, int x, int y) const {
  const Point p(x + getRect().tl.x, y + getRect().tl.y);
  box->tl.x = std::min(box->tl.x, p.x);
  box->tl.y = std::min(box->tl.y, p.y);
  box->br.x = std::max(box->br.x, p.x + 1);
  box->br.y = std::max(box->br.y, p.y + 1);
}

void Cursor::cropPixelsTo(const Rect& box) {
  std::vector<uint8_t> kept(size_t(std::max<int64_t>(box.area(), 0)) * pb_.bytesPerPixel());
  if (!kept.empty())
    pb_.getImage(kept.data(), box);
  pb_.setRect(box);
  if (!kept.empty())
    pb_.copyRectFrom(box, kept.data());
}

} // namespace rfb
