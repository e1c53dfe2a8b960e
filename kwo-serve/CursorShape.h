#pragma once

// The agent's cursor image ("setCursorImage": premultiplied pixels with an
// alpha channel) made into a LibVNCServer cursor: rich pixels in the
// server's pixel format, premultiplied alpha, a mask from the alpha
// threshold and a two-colour source for viewers that only take X cursors.
//
// Invariant: every buffer the rfbCursor points at is owned here and lives as
// long as this object; the cursor's cleanup flags are all false, so
// LibVNCServer never frees any of it, and its X-cursor conversion is never
// needed because the source bitmap is filled in here.

#include "base/rfb/PixelFormat.h"

#include <rfb/rfb.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace agentmsg {
struct SetCursorImage;
}

namespace kwoserve {

class CursorShape {
public:
  // A cursor that shows nothing (1x1, transparent): "no cursor".
  CursorShape();
  // Throws plat::Exception when the image does not match its rectangle and
  // format (the message reader checked it already; this guards other callers).
  CursorShape(const agentmsg::SetCursorImage& image, const rfbPixelFormat& serverFormat);
  CursorShape(const CursorShape&) = delete;
  CursorShape& operator=(const CursorShape&) = delete;

  rfbCursor* cursor() { return &cursor_; }
  int width() const { return cursor_.width; }
  int height() const { return cursor_.height; }
  // 0..255 per pixel.
  uint8_t alphaAt(int x, int y) const { return alpha_[size_t(y) * cursor_.width + x]; }
  bool maskAt(int x, int y) const { return bitAt(mask_, x, y); }
  bool sourceAt(int x, int y) const { return bitAt(source_, x, y); }
  // The rich pixel value at (x, y) in the server format, as stored.
  uint32_t richPixelAt(int x, int y) const;

private:
  void allocate(int width, int height, int bytesPerPixel);
  void link();
  bool bitAt(const std::vector<unsigned char>& bits, int x, int y) const;
  static void setBit(std::vector<unsigned char>& bits, int rowBytes, int x, int y);

  rfbCursor cursor_{};
  int bytesPerPixel_ = 4;
  std::vector<unsigned char> source_;
  std::vector<unsigned char> mask_;
  std::vector<unsigned char> rich_;
  std::vector<unsigned char> alpha_;
};

} // namespace kwoserve
