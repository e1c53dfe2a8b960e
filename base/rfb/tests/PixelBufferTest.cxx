#include "base/rfb/FullFramePixelBuffer.h"
#include "base/rfb/ManagedPixelBuffer.h"
#include "base/rfb/Region.h"

#include "base/plat/Exception.h"
#include "base/plat/LogSetting.h"
#include "base/rfb/tests/SimpleColourMap.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

namespace {

using rfb::Blend;
using rfb::Colour;
using rfb::FullFramePixelBuffer;
using rfb::ManagedPixelBuffer;
using rfb::PixelFormat;
using rfb::Point;
using rfb::Rect;
using rfb::Region;

// A buffer over a vector, with a stride wider than the image and a
// top-left away from 0,0, so that offset arithmetic is exercised.
class TestBuffer {
public:
  TestBuffer(const PixelFormat& pf, const Rect& rect, rfb::ColourMap* map = nullptr,
             int extraStride = 3)
      : bytes_(size_t(rect.width() + extraStride) * rect.height() * (pf.bpp / 8) + 1),
        pb_(pf, rect, map, bytes_.data(), rect.width() + extraStride) {}

  FullFramePixelBuffer& pb() { return pb_; }

  void randomise(std::mt19937& rng) {
    for (uint8_t& b : bytes_)
      b = uint8_t(rng());
  }

  // Every pixel of the image, row by row.
  std::vector<uint32_t> pixels() const {
    std::vector<uint32_t> out;
    const Rect& r = pb_.getRect();
    for (int y = r.tl.y; y < r.br.y; y++)
      for (int x = r.tl.x; x < r.br.x; x++)
        out.push_back(pb_.getPixel(x, y));
    return out;
  }

private:
  std::vector<uint8_t> bytes_;
  FullFramePixelBuffer pb_;
};

// --- translateRect -----------------------------------------------------------

Colour referenceOver(Colour s, Colour d) {
  auto ch = [&](uint32_t sv, uint32_t dv) {
    uint32_t v = sv + (dv * (255 - s.a) + 127) / 255;
    return v > 255 ? 255u : v;
  };
  return Colour{ch(s.r, d.r), ch(s.g, d.g), ch(s.b, d.b), ch(s.a, d.a)};
}

rfb::test::SimpleColourMap& testMap() {
  static rfb::test::SimpleColourMap map = [] {
    std::mt19937 rng(5);
    std::vector<Colour> colours;
    for (int i = 0; i < 256; i++)
      colours.push_back(
          Colour{uint32_t(rng() % 256), uint32_t(rng() % 256), uint32_t(rng() % 256), 255});
    return rfb::test::SimpleColourMap(colours);
  }();
  return map;
}

struct FormatCase {
  const char* name;
  PixelFormat pf;
  bool mapped;
};

// Two formats of each width: one with alpha (to composite) and one without,
// one of them byte-swapped where the width allows.
std::vector<FormatCase> formatsOfWidth(int bpp) {
  switch (bpp) {
  case 8:
    return {{"argb2222", PixelFormat(8, 8, false, true, 3, 3, 3, 3, 4, 2, 0, 6), false},
            {"pal8", PixelFormat::pal8(), true},
            {"bgr233", PixelFormat(), false}};
  case 16:
    return {
        {"argb4444", PixelFormat(16, 16, false, true, 15, 15, 15, 15, 8, 4, 0, 12), false},
        {"rgb565 big-endian", PixelFormat(16, 16, true, true, 31, 63, 31, 0, 11, 5, 0, 0), false}};
  case 24:
    return {{"argb6666", PixelFormat(24, 24, false, true, 63, 63, 63, 63, 12, 6, 0, 18), false},
            {"rgb888 big-endian", PixelFormat(24, 24, true, true, 255, 255, 255, 0, 16, 8, 0, 0),
             false}};
  default:
    return {{"argb8888", PixelFormat::argb8888(), false},
            {"bgr888 big-endian", PixelFormat(32, 24, true, true, 255, 255, 255, 0, 0, 8, 16, 0),
             false},
            // Channels wider than a byte, small enough for per-channel tables...
            {"rgb 10-10-10", PixelFormat(32, 30, false, true, 1023, 1023, 1023, 0, 20, 10, 0, 0),
             false},
            // ...and too wide for them.
            {"rgb 11-11-10", PixelFormat(32, 32, false, true, 2047, 2047, 1023, 0, 21, 10, 0, 0),
             false}};
  }
}

void checkTranslate(const FormatCase& s, const FormatCase& d, Blend blend, std::mt19937& rng) {
  rfb::ColourMap* srcMap = s.mapped ? &testMap() : nullptr;
  rfb::ColourMap* dstMap = d.mapped ? &testMap() : nullptr;
  TestBuffer src(s.pf, Rect(-5, 10, 25, 30), srcMap);
  TestBuffer dst(d.pf, Rect(100, 200, 122, 215), dstMap, 1);
  src.randomise(rng);
  dst.randomise(rng);
  const std::vector<uint32_t> before = dst.pixels();
  // Partly outside the destination on the right; the source point lies
  // inside the source.
  const Rect destRect(103, 202, 130, 213);
  const Point sourcePoint(-2, 12);
  dst.pb().translateRect(src.pb(), sourcePoint, destRect, blend);

  const Rect& dr = dst.pb().getRect();
  int i = 0;
  for (int y = dr.tl.y; y < dr.br.y; y++) {
    for (int x = dr.tl.x; x < dr.br.x; x++, i++) {
      uint32_t expected = before[i];
      if (destRect.contains(Point(x, y))) {
        Point sp(x - destRect.tl.x + sourcePoint.x, y - destRect.tl.y + sourcePoint.y);
        const uint32_t raw = src.pb().getPixel(sp.x, sp.y);
        const bool composite = blend == Blend::over && s.pf.hasAlpha();
        if (s.pf == d.pf && !composite) {
          // Equal formats copy bytes, bits outside the channels included.
          expected = raw;
        } else {
          Colour c = s.pf.rgbaFromPixel(raw, srcMap);
          if (composite)
            c = referenceOver(c, d.pf.rgbaFromPixel(before[i], dstMap));
          expected = d.pf.pixelFromRGBA(c, dstMap);
          if (d.pf.bpp < 32)
            expected &= (1u << d.pf.bpp) - 1;
        }
      }
      ASSERT_EQ(dst.pb().getPixel(x, y), expected) << "at " << x << "," << y;
    }
  }
}

TEST(PixelBufferTranslate, AllWidthPairsAndBlendsAgainstReference) {
  std::mt19937 rng(1234);
  for (int sb : {8, 16, 24, 32}) {
    for (int db : {8, 16, 24, 32}) {
      for (const FormatCase& s : formatsOfWidth(sb)) {
        for (const FormatCase& d : formatsOfWidth(db)) {
          for (Blend blend : {Blend::copy, Blend::over}) {
            SCOPED_TRACE(std::string(s.name) + " -> " + d.name +
                         (blend == Blend::over ? " over" : " copy"));
            checkTranslate(s, d, blend, rng);
            if (HasFatalFailure())
              return;
          }
        }
      }
    }
  }
}

TEST(PixelBufferTranslate, OddCases) {
  {
    std::mt19937 rng(9);
    const PixelFormat& pf = PixelFormat::argb8888();
    for (Point shift : {Point(-1, 0), Point(2, 2)}) {
      SCOPED_TRACE(std::to_string(shift.x) + "," + std::to_string(shift.y));
      TestBuffer buf(pf, Rect(0, 0, 12, 9));
      buf.randomise(rng);
      const std::vector<uint32_t> before = buf.pixels();
      const Rect dest(3, 3, 9, 7);
      buf.pb().translateRect(buf.pb(), dest.tl - shift, dest, Blend::over);
      int i = 0;
      for (int y = 0; y < 9; y++) {
        for (int x = 0; x < 12; x++, i++) {
          uint32_t expected = before[i];
          if (dest.contains(Point(x, y))) {
            Point sp(x - shift.x, y - shift.y);
            Colour c = referenceOver(pf.rgbaFromPixel(before[sp.y * 12 + sp.x]),
                                     pf.rgbaFromPixel(before[i]));
            expected = pf.pixelFromRGBA(c, nullptr);
          }
          ASSERT_EQ(buf.pb().getPixel(x, y), expected) << x << "," << y;
        }
      }
    }
  }
  {
    PixelFormat odd(12, 12, false, true, 15, 15, 15, 0, 8, 4, 0, 0);
    TestBuffer src(odd, Rect(0, 0, 4, 4));
    TestBuffer dst(PixelFormat::rgb888(), Rect(0, 0, 4, 4));
    dst.pb().fillRect(Rect(0, 0, 4, 4), 0x123456);
    dst.pb().translateRect(src.pb(), Point(0, 0), Rect(0, 0, 4, 4));
    for (uint32_t p : dst.pixels())
      EXPECT_EQ(p, 0u);
  }
}

// --- copyRect ----------------------------------------------------------------

TEST(PixelBufferCopyRect, EveryOverlapDirectionAgainstReference) {
  std::mt19937 rng(77);
  // Several bands, several boxes per band, touching and overlapping the move.
  const Rect parts[] = {Rect(2, 1, 6, 4),  Rect(8, 1, 12, 4),  Rect(1, 4, 13, 6),
                        Rect(3, 6, 5, 11), Rect(7, 7, 11, 11), Rect(-2, -2, 1, 1)};
  const Region region(parts, std::size(parts));
  for (int bpp : {8, 16, 24, 32}) {
    PixelFormat pf = formatsOfWidth(bpp)[0].pf;
    for (int dy = -2; dy <= 2; dy += 2) {
      for (int dx = -3; dx <= 3; dx += 3) {
        SCOPED_TRACE(std::to_string(bpp) + " bpp offset " + std::to_string(dx) + "," +
                     std::to_string(dy));
        TestBuffer buf(pf, Rect(0, 0, 14, 12));
        buf.randomise(rng);
        const std::vector<uint32_t> before = buf.pixels();
        buf.pb().copyRect(region, Point(dx, dy));
        int i = 0;
        for (int y = 0; y < 12; y++) {
          for (int x = 0; x < 14; x++, i++) {
            int sx = x - dx, sy = y - dy;
            bool moved = false;
            for (const Rect& r : parts)
              moved |= r.contains(Point(x, y));
            moved &= sx >= 0 && sx < 14 && sy >= 0 && sy < 12;
            uint32_t expected = moved ? before[sy * 14 + sx] : before[i];
            ASSERT_EQ(buf.pb().getPixel(x, y), expected) << "at " << x << "," << y;
          }
        }
      }
    }
  }
}

// --- fills, copies in and out --------------------------------------------------

TEST(PixelBuffer, FillsAndCopiesInAndOut) {
  {
    for (int bpp : {8, 16, 24, 32}) {
      SCOPED_TRACE(bpp);
      PixelFormat pf = formatsOfWidth(bpp)[0].pf;
      const uint32_t value = 0xa1b2c3d4u & (bpp == 32 ? ~0u : (1u << bpp) - 1);
      TestBuffer buf(pf, Rect(10, 10, 20, 18));
      buf.pb().fillRect(Rect(0, 0, 100, 100), 0);
      buf.pb().fillRect(Rect(15, 5, 40, 12), value);
      for (int y = 10; y < 18; y++)
        for (int x = 10; x < 20; x++)
          ASSERT_EQ(buf.pb().getPixel(x, y), (x >= 15 && y < 12) ? value : 0u) << x << "," << y;
    }
  }
  {
    const PixelFormat& pf = PixelFormat::rgb565();
    TestBuffer buf(pf, Rect(5, 5, 15, 13));
    buf.pb().fillRect(buf.pb().getRect(), 0);
    // Caller memory for a 6x4 rectangle at 12,3: only 12..15 x 5..7 lands.
    std::vector<uint16_t> image(6 * 4);
    for (size_t i = 0; i < image.size(); i++)
      image[i] = uint16_t(1000 + i);
    buf.pb().copyRectFrom(Rect(12, 3, 18, 7), image.data());
    for (int y = 5; y < 13; y++)
      for (int x = 5; x < 15; x++) {
        bool inside = x >= 12 && y < 7;
        uint32_t expected = inside ? 1000 + (y - 3) * 6 + (x - 12) : 0;
        ASSERT_EQ(buf.pb().getPixel(x, y), expected) << x << "," << y;
      }
    // Read back with a destination stride of 5 pixels.
    std::vector<uint16_t> out(5 * 2, 0xeeee);
    buf.pb().getImage(out.data(), Rect(12, 5, 15, 7), 5);
    EXPECT_EQ(out[0], 1000 + 2 * 6);
    EXPECT_EQ(out[2], 1000 + 2 * 6 + 2);
    EXPECT_EQ(out[3], 0xeeee);
    EXPECT_EQ(out[5], 1000 + 3 * 6);
  }
  {
    std::mt19937 rng(11);
    const PixelFormat& pf = PixelFormat::rgb888();
    TestBuffer src(pf, Rect(0, 0, 20, 15));
    src.randomise(rng);
    ManagedPixelBuffer dst(pf, Rect(0, 0, 24, 18));
    const Rect parts[] = {Rect(1, 1, 9, 6), Rect(12, 3, 19, 13), Rect(18, 12, 30, 30)};
    const Region region(parts, std::size(parts));
    const Point offset(3, 2);
    dst.copyRegionFrom(src.pb(), offset, region, 3, 2);
    for (int y = 0; y < 18; y++) {
      for (int x = 0; x < 24; x++) {
        Point s(x - offset.x, y - offset.y);
        bool copied = src.pb().getRect().contains(s) &&
                      region.intersect(Region(Rect(s.x, s.y, s.x + 1, s.y + 1))).numRects() == 1;
        ASSERT_EQ(dst.getPixel(x, y), copied ? src.pb().getPixel(s.x, s.y) : 0u) << x << "," << y;
      }
    }
  }
}

// --- ManagedPixelBuffer ----------------------------------------------------------

void paint(ManagedPixelBuffer& pb) {
  const Rect& r = pb.getRect();
  for (int y = r.tl.y; y < r.br.y; y++)
    for (int x = r.tl.x; x < r.br.x; x++)
      pb.setPixel(x, y, uint32_t(1 + (x - r.tl.x) + 100 * (y - r.tl.y)));
}

TEST(ManagedPixelBuffer, ResizeTable) {
  struct Case {
    const char* name;
    int w, h;
    bool preserve;
  } cases[] = {
      {"same size", 10, 6, false},
      {"taller, narrower", 4, 9, true},
      {"shorter, wider", 15, 3, true},
      {"smaller, cleared", 5, 5, false},
      {"larger, kept", 20, 20, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ManagedPixelBuffer pb(PixelFormat::rgb888(), Rect(2, 3, 12, 9));
    paint(pb);
    pb.preserveContents = c.preserve;
    const int oldCapacity = pb.capacity();
    const uint8_t* oldData = pb.data();
    pb.setSize(c.w, c.h);
    EXPECT_EQ(pb.getRect(), Rect::fromXYWH(2, 3, c.w, c.h));
    EXPECT_EQ(pb.getStride(), c.w);
    const bool sameSize = c.w == 10 && c.h == 6;
    const bool fits = c.w * c.h * 4 <= oldCapacity;
    // Within capacity no new block is taken and the block never shrinks.
    if (fits) {
      EXPECT_EQ(pb.data(), oldData);
      EXPECT_EQ(pb.capacity(), oldCapacity);
    } else {
      EXPECT_EQ(pb.capacity(), c.w * c.h * 4);
    }
    for (int y = 0; y < c.h; y++) {
      for (int x = 0; x < c.w; x++) {
        bool kept = (c.preserve || sameSize) && x < 10 && y < 6;
        ASSERT_EQ(pb.getPixel(2 + x, 3 + y), kept ? uint32_t(1 + x + 100 * y) : 0u)
            << x << "," << y;
      }
    }
  }
}

TEST(ManagedPixelBuffer, Storage) {
  {
    ManagedPixelBuffer pb(PixelFormat::rgb888(), Rect(0, 0, 8, 8));
    pb.setSize(0, 8);
    EXPECT_EQ(pb.capacity(), 0);
    EXPECT_EQ(pb.data(), nullptr);
    pb.setSize(2, 2);
    EXPECT_EQ(pb.capacity(), 16);
  }
  {
    ManagedPixelBuffer pb(PixelFormat::rgb888(), Rect(0, 0, 4, 4));
    paint(pb);
    PixelFormat same = PixelFormat::rgb888();
    pb.setPF(same);
    EXPECT_EQ(pb.getPixel(1, 1), 102u);
    pb.setPF(PixelFormat::rgb565());
    EXPECT_EQ(pb.capacity(), 64); // kept: 32 bytes now suffice
    EXPECT_EQ(pb.getPF(), PixelFormat::rgb565());
    for (int y = 0; y < 4; y++)
      for (int x = 0; x < 4; x++)
        EXPECT_EQ(pb.getPixel(x, y), 0u);
  }
  // The byte count of a 16-bit rectangle at 32 bpp can exceed what the signed
  // 32-bit capacity holds; that used to wrap into a tiny allocation.
  {
    ManagedPixelBuffer pb(PixelFormat::rgb888(), Rect(0, 0, 4, 4));
    EXPECT_THROW(pb.setSize(32767, 32767), plat::Exception);
    EXPECT_EQ(pb.width(), 0);
    EXPECT_EQ(pb.capacity(), 0);
    EXPECT_EQ(pb.sizeBytes(), 0);
  }
}

} // namespace
