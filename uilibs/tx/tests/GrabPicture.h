#pragma once

// Known pictures on the root window of the toolkit's display, with a
// reference copy of their pixel values kept by the test, and comparisons of
// a grabbed buffer against them.

#include "uilibs/tx/PixelBufferX11.h"
#include "uilibs/tx/TXUtil.h"

#include "base/rfb/Region.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cstdint>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace grabtest {

// 8-bit colours that survive every depth under test distinctly.
struct Rgb8 {
  uint8_t r, g, b;
};
inline const std::vector<Rgb8>& palette() {
  static const std::vector<Rgb8> colours = {
    {0, 0, 0},     {255, 255, 255}, {255, 0, 0},   {0, 255, 0},  {0, 0, 255},
    {255, 255, 0}, {0, 255, 255},   {255, 0, 255}, {128, 64, 0}, {32, 160, 96},
    {200, 200, 64}, {64, 32, 200},
  };
  return colours;
}

class Painter {
public:
  Painter()
    : dpy_(tx::display()), root_(DefaultRootWindow(dpy_)),
      width_(DisplayWidth(dpy_, DefaultScreen(dpy_))),
      height_(DisplayHeight(dpy_, DefaultScreen(dpy_))), gc_(XCreateGC(dpy_, root_, 0, nullptr)),
      reference_(size_t(width_) * size_t(height_), 0) {
    Colormap cmap = DefaultColormap(dpy_, DefaultScreen(dpy_));
    for (const Rgb8& c : palette()) {
      XColor colour{0, uint16_t(c.r * 257), uint16_t(c.g * 257), uint16_t(c.b * 257),
                    DoRed | DoGreen | DoBlue, 0};
      if (!XAllocColor(dpy_, cmap, &colour))
        ADD_FAILURE() << "cannot allocate a palette colour";
      pixels_.push_back(uint32_t(colour.pixel));
    }
  }
  ~Painter() { XFreeGC(dpy_, gc_); }
  Painter(const Painter&) = delete;
  Painter& operator=(const Painter&) = delete;

  rfb::Rect screen() const { return rfb::Rect(0, 0, width_, height_); }
  uint32_t pixel(size_t colour) const { return pixels_[colour % pixels_.size()]; }

  void fill(const rfb::Rect& rect, size_t colour) {
    rfb::Rect r = rect.intersect(screen());
    if (r.isEmpty())
      return;
    XSetForeground(dpy_, gc_, pixel(colour));
    XFillRectangle(dpy_, root_, gc_, r.tl.x, r.tl.y, unsigned(r.width()), unsigned(r.height()));
    for (int y = r.tl.y; y < r.br.y; y++)
      for (int x = r.tl.x; x < r.br.x; x++)
        reference_[size_t(y) * size_t(width_) + size_t(x)] = pixel(colour);
  }

  // A background and `count` rectangles of random places, sizes and colours.
  void paintRandom(uint32_t seed, int count = 40) {
    std::mt19937 rng(seed);
    fill(screen(), rng());
    for (int i = 0; i < count; i++) {
      int x = int(rng() % uint32_t(width_));
      int y = int(rng() % uint32_t(height_));
      int w = 1 + int(rng() % 90);
      int h = 1 + int(rng() % 70);
      fill(rfb::Rect::fromXYWH(x, y, w, h), rng());
    }
    sync();
  }

  void sync() { XSync(dpy_, False); }

  uint32_t at(int x, int y) const { return reference_[size_t(y) * size_t(width_) + size_t(x)]; }
  std::vector<uint32_t> snapshot() const { return reference_; }

  // A pixel value that no palette entry has.
  uint32_t unusedPixel() const {
    for (uint32_t candidate = 1;; candidate++) {
      bool used = false;
      for (uint32_t p : pixels_)
        used = used || p == candidate;
      if (!used)
        return candidate;
    }
  }

private:
  Display* dpy_;
  Window root_;
  int width_;
  int height_;
  GC gc_;
  std::vector<uint32_t> reference_;
  std::vector<uint32_t> pixels_;
};

// Whether (x, y) lies in `region`.
inline bool inRegion(const rfb::Region& region, int x, int y) {
  for (const rfb::RgnRect& box : region.boxes())
    if (x >= box.x1 && x < box.x2 && y >= box.y1 && y < box.y2)
      return true;
  return false;
}

// Every pixel of the buffer against `expected`; reports the number of
// mismatches and the first few.
inline ::testing::AssertionResult pixelsMatch(const tx::PixelBufferX11& pb,
                                             const std::function<uint32_t(int, int)>& expected) {
  std::ostringstream first;
  int mismatches = 0;
  const rfb::Rect& rect = pb.getRect();
  for (int y = rect.tl.y; y < rect.br.y; y++) {
    for (int x = rect.tl.x; x < rect.br.x; x++) {
      uint32_t want = expected(x, y);
      uint32_t got = pb.getPixel(x, y);
      if (got == want)
        continue;
      if (mismatches++ < 5)
        first << " (" << x << "," << y << "): got 0x" << std::hex << got << " want 0x" << want
              << std::dec;
    }
  }
  if (mismatches == 0)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << mismatches << " pixels differ;" << first.str();
}

} // namespace grabtest
