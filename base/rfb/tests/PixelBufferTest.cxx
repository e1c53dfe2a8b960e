#include "base/rfb/FullFramePixelBuffer.h"
#include "base/rfb/ManagedPixelBuffer.h"
#include "base/rfb/Region.h"

#include "base/plat/Exception.h"
#include "base/rfb/tests/SimpleColourMap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <vector>

namespace {

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

  // The pixels as they are now, by position.
  std::function<uint32_t(int, int)> snapshot() const {
    const Rect r = pb_.getRect();
    std::vector<uint32_t> pixels;
    for (int y = r.tl.y; y < r.br.y; y++)
      for (int x = r.tl.x; x < r.br.x; x++)
        pixels.push_back(pb_.getPixel(x, y));
    return [r, pixels](int x, int y) {
      return pixels[size_t(y - r.tl.y) * r.width() + (x - r.tl.x)];
    };
  }

private:
  std::vector<uint8_t> bytes_;
  FullFramePixelBuffer pb_;
};

// Every pixel of `pb` against `expected(x, y)`.
template <class F>
void expectPixels(const rfb::PixelBuffer& pb, F expected) {
  const Rect r = pb.getRect();
  for (int y = r.tl.y; y < r.br.y; y++)
    for (int x = r.tl.x; x < r.br.x; x++)
      ASSERT_EQ(pb.getPixel(x, y), expected(x, y)) << "at " << x << "," << y;
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

// Two formats of each width: one with alpha and one without,
// one of them byte-swapped where the width allows.
std::vector<FormatCase> formatsOfWidth(int bpp) {
  switch (bpp) {
  case 8:
    return {{"argb2222", PixelFormat(8, 8, false, true, 3, 3, 3, 3, 4, 2, 0, 6), false},
            {"pal8", PixelFormat::pal8(), true},
            {"bgr233", PixelFormat(), false}};
  case 16:
    return {{"argb4444", PixelFormat(16, 16, false, true, 15, 15, 15, 15, 8, 4, 0, 12), false},
            {"rgb565 BE", PixelFormat(16, 16, true, true, 31, 63, 31, 0, 11, 5, 0, 0), false}};
  case 24:
    return {{"argb6666", PixelFormat(24, 24, false, true, 63, 63, 63, 63, 12, 6, 0, 18), false},
            {"rgb888 BE", PixelFormat(24, 24, true, true, 255, 255, 255, 0, 16, 8, 0, 0), false}};
  default:
    // Channels wider than a byte: small enough for per-channel tables, and too wide for them.
    return {{"argb8888", PixelFormat::argb8888(), false},
            {"bgr888 BE", PixelFormat(32, 24, true, true, 255, 255, 255, 0, 0, 8, 16, 0), false},
            {"rgb 10-10-10", PixelFormat(32, 30, false, true, 1023, 1023, 1023, 0, 20, 10, 0, 0),
             false},
            {"rgb 11-11-10", PixelFormat(32, 32, false, true, 2047, 2047, 1023, 0, 21, 10, 0, 0),
             false}};
  }
}

// Copies only: compositing (Blend::over) is used by no caller but cursor rendering, which no
// product code does.
void checkTranslate(const FormatCase& s, const FormatCase& d, std::mt19937& rng) {
  rfb::ColourMap* srcMap = s.mapped ? &testMap() : nullptr;
  rfb::ColourMap* dstMap = d.mapped ? &testMap() : nullptr;
  TestBuffer src(s.pf, Rect(-5, 10, 25, 30), srcMap);
  TestBuffer dst(d.pf, Rect(100, 200, 122, 215), dstMap, 1);
  src.randomise(rng);
  dst.randomise(rng);
  const auto before = dst.snapshot();
  // Partly outside the destination on the right; the source point lies
  // inside the source.
  const Rect destRect(103, 202, 130, 213);
  const Point sourcePoint(-2, 12);
  dst.pb().translateRect(src.pb(), sourcePoint, destRect);
  expectPixels(dst.pb(), [&](int x, int y) {
    if (!destRect.contains(Point(x, y)))
      return before(x, y);
    const uint32_t raw = src.pb().getPixel(x - destRect.tl.x + sourcePoint.x,
                                           y - destRect.tl.y + sourcePoint.y);
    // Equal formats copy bytes, bits outside the channels included.
    if (s.pf == d.pf)
      return raw;
    const Colour c = s.pf.rgbaFromPixel(raw, srcMap);
    return d.pf.pixelFromRGBA(c, dstMap) & (d.pf.bpp < 32 ? (1u << d.pf.bpp) - 1 : ~0u);
  });
}

TEST(PixelBufferTranslate, AllWidthPairsAgainstReference) {
  std::mt19937 rng(1234);
  for (int sb : {8, 16, 24, 32}) {
    for (int db : {8, 16, 24, 32}) {
      for (const FormatCase& s : formatsOfWidth(sb)) {
        for (const FormatCase& d : formatsOfWidth(db)) {
          SCOPED_TRACE(std::string(s.name) + " -> " + d.name);
          checkTranslate(s, d, rng);
          if (HasFatalFailure())
            return;
        }
      }
    }
  }
}

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
        const auto before = buf.snapshot();
        buf.pb().copyRect(region, Point(dx, dy));
        expectPixels(buf.pb(), [&](int x, int y) {
          bool moved = Rect(0, 0, 14, 12).contains(Point(x - dx, y - dy));
          moved &= std::any_of(std::begin(parts), std::end(parts),
                               [&](const Rect& r) { return r.contains(Point(x, y)); });
          return moved ? before(x - dx, y - dy) : before(x, y);
        });
      }
    }
  }
}

TEST(PixelBuffer, FillsAndCopiesInAndOut) {
  for (int bpp : {8, 16, 24, 32}) {
    SCOPED_TRACE(bpp);
    const uint32_t value = 0xa1b2c3d4u & (bpp == 32 ? ~0u : (1u << bpp) - 1);
    TestBuffer buf(formatsOfWidth(bpp)[0].pf, Rect(10, 10, 20, 18));
    buf.pb().fillRect(Rect(0, 0, 100, 100), 0);
    buf.pb().fillRect(Rect(15, 5, 40, 12), value);
    expectPixels(buf.pb(), [&](int x, int y) { return (x >= 15 && y < 12) ? value : 0u; });
  }
  {
    TestBuffer buf(PixelFormat::rgb565(), Rect(5, 5, 15, 13));
    buf.pb().fillRect(buf.pb().getRect(), 0);
    // Caller memory for a 6x4 rectangle at 12,3: only 12..15 x 5..7 lands.
    std::vector<uint16_t> image(6 * 4);
    for (size_t i = 0; i < image.size(); i++)
      image[i] = uint16_t(1000 + i);
    buf.pb().copyRectFrom(Rect(12, 3, 18, 7), image.data());
    expectPixels(buf.pb(), [](int x, int y) {
      return x >= 12 && y < 7 ? uint32_t(1000 + (y - 3) * 6 + (x - 12)) : 0u;
    });
    // Read back with a destination stride of 5 pixels.
    std::vector<uint16_t> out(5 * 2, 0xeeee);
    buf.pb().getImage(out.data(), Rect(12, 5, 15, 7), 5);
    EXPECT_EQ(out, std::vector<uint16_t>({1012, 1013, 1014, 0xeeee, 0xeeee, 1018, 1019, 1020,
                                           0xeeee, 0xeeee}));
  }
}

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
    // Within capacity no new block is taken and the block never shrinks.
    if (c.w * c.h * 4 <= oldCapacity) {
      EXPECT_EQ(pb.data(), oldData);
      EXPECT_EQ(pb.capacity(), oldCapacity);
    } else {
      EXPECT_EQ(pb.capacity(), c.w * c.h * 4);
    }
    expectPixels(pb, [&](int x, int y) {
      bool kept = (c.preserve || sameSize) && x < 12 && y < 9;
      return kept ? uint32_t(1 + (x - 2) + 100 * (y - 3)) : 0u;
    });
  }
}

TEST(ManagedPixelBuffer, Storage) {
  {
    ManagedPixelBuffer pb(PixelFormat::rgb888(), Rect(0, 0, 4, 4));
    paint(pb);
    PixelFormat same = PixelFormat::rgb888();
    pb.setPF(same);
    EXPECT_EQ(pb.getPixel(1, 1), 102u);
    pb.setPF(PixelFormat::rgb565());
    EXPECT_EQ(pb.capacity(), 64); // kept: 32 bytes now suffice
    EXPECT_EQ(pb.getPF(), PixelFormat::rgb565());
    expectPixels(pb, [](int, int) { return 0u; });
  }
  {
    // An empty size lets the block go; a later size takes a new one.
    ManagedPixelBuffer pb(PixelFormat::rgb888(), Rect(0, 0, 8, 8));
    pb.setSize(0, 8);
    EXPECT_EQ(pb.capacity(), 0);
    EXPECT_EQ(pb.data(), nullptr);
    pb.setSize(2, 2);
    EXPECT_EQ(pb.capacity(), 16);
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
