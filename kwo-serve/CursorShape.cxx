#include "kwo-serve/CursorShape.h"

#include "base/plat/Exception.h"
#include "base/rfb/Colour.h"
#include "libs/agentmsg/FromAgentMsgs.h"
#include "kwo-serve/PixelAccess.h"

#include <cstring>

namespace kwoserve {

CursorShape::CursorShape() {
  allocate(1, 1, 4);
  link();
}

CursorShape::CursorShape(const agentmsg::SetCursorImage& image,
                         const rfbPixelFormat& serverFormat) {
  if (!image.present) {
    allocate(1, 1, 4);
    link();
    return;
  }
  int width = image.rect.width();
  int height = image.rect.height();
  if (width <= 0 || height <= 0 || width > 0xFFFF || height > 0xFFFF ||
      image.pixels.size() != image.expectedBytes())
    throw plat::Exception("cursor image does not match its size");
  int inBytes = image.pf.bytesPerPixel();
  int outBytes = serverFormat.bitsPerPixel / 8;
  allocate(width, height, outBytes);
  cursor_.xhot = uint16_t(-image.rect.tl.x < 0 ? 0 : std::min(-image.rect.tl.x, width - 1));
  cursor_.yhot = uint16_t(-image.rect.tl.y < 0 ? 0 : std::min(-image.rect.tl.y, height - 1));
  int rowBytes = (width + 7) / 8;
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) {
      const uint8_t* in = image.pixels.data() + (size_t(y) * width + x) * inBytes;
      rfb::Colour c = image.pf.rgbaFromPixel(PixelAccess::load(in, inBytes));
      alpha_[size_t(y) * width + x] = uint8_t(c.a);
      PixelAccess::store(rich_.data() + (size_t(y) * width + x) * outBytes, outBytes,
                         PixelAccess::fromRgb(serverFormat, c.r, c.g, c.b));
      if (c.a >= image.alphaThreshold)
        setBit(mask_, rowBytes, x, y);
      // Premultiplied: a bright pixel has at least half the brightness its
      // alpha allows.
      if (c.a > 0 && (c.r + c.g + c.b) * 2 >= c.a * 3)
        setBit(source_, rowBytes, x, y);
    }
  }
  link();
}

void CursorShape::allocate(int width, int height, int bytesPerPixel) {
  bytesPerPixel_ = bytesPerPixel;
  size_t rowBytes = size_t(width + 7) / 8;
  source_.assign(rowBytes * height, 0);
  mask_.assign(rowBytes * height, 0);
  rich_.assign(size_t(width) * height * bytesPerPixel, 0);
  alpha_.assign(size_t(width) * height, 0);
  cursor_.width = uint16_t(width);
  cursor_.height = uint16_t(height);
}

void CursorShape::link() {
  cursor_.cleanup = FALSE;
  cursor_.cleanupSource = FALSE;
  cursor_.cleanupMask = FALSE;
  cursor_.cleanupRichSource = FALSE;
  cursor_.source = source_.data();
  cursor_.mask = mask_.data();
  cursor_.richSource = rich_.data();
  cursor_.alphaSource = alpha_.data();
  cursor_.alphaPreMultiplied = TRUE;
  cursor_.foreRed = cursor_.foreGreen = cursor_.foreBlue = 0xFFFF;
  cursor_.backRed = cursor_.backGreen = cursor_.backBlue = 0;
}

uint32_t CursorShape::richPixelAt(int x, int y) const {
  return PixelAccess::load(rich_.data() + (size_t(y) * cursor_.width + x) * bytesPerPixel_,
                           bytesPerPixel_);
}

bool CursorShape::bitAt(const std::vector<unsigned char>& bits, int x, int y) const {
  int rowBytes = (cursor_.width + 7) / 8;
  return bits[size_t(y) * rowBytes + x / 8] & (0x80 >> (x % 8));
}

void CursorShape::setBit(std::vector<unsigned char>& bits, int rowBytes, int x, int y) {
  bits[size_t(y) * rowBytes + x / 8] |= uint8_t(0x80 >> (x % 8));
}

} // namespace kwoserve
