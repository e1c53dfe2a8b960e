#include "kwo-serve/CursorShape.h"

#include "kwo-serve/PixelAccess.h"
#include "libs/agentmsg/FromAgentMsgs.h"

#include <gtest/gtest.h>

#include <random>

namespace kwoserve {

namespace {

// A premultiplied ARGB cursor image as the agent sends it.
agentmsg::SetCursorImage image(int width, int height, int hotX, int hotY,
                                const std::vector<uint32_t>& argb) {
  agentmsg::SetCursorImage msg;
  msg.present = true;
  msg.pf = rfb::PixelFormat::argb8888();
  msg.rect = rfb::Rect(-hotX, -hotY, width - hotX, height - hotY);
  for (uint32_t v : argb) {
    uint8_t bytes[4];
    PixelAccess::store(bytes, 4, msg.pf.pixelFromRGBA(
                                     {(v >> 16) & 255, (v >> 8) & 255, v & 255, v >> 24}, nullptr));
    msg.pixels.insert(msg.pixels.end(), bytes, bytes + 4);
  }
  return msg;
}

} // namespace

TEST(CursorShape, PixelsAlphaMaskAndHotspotFollowTheImageInTheServersFormat) {
  std::mt19937 random(11);
  const int width = 13, height = 7;
  std::vector<uint32_t> argb;
  for (int i = 0; i < width * height; i++) {
    // Premultiplied: no channel above alpha. The first two straddle the mask's threshold.
    uint32_t a = i < 2 ? 128 - i : random() % 256;
    argb.push_back(a << 24 | random() % (a + 1) << 16 | random() % (a + 1) << 8 | random() % (a + 1));
  }
  for (rfb::PixelFormat pf : {rfb::PixelFormat::rgb888(), rfb::PixelFormat::rgb565()}) {
    SCOPED_TRACE(pf.bpp);
    rfbPixelFormat server = PixelAccess::toRfb(pf);
    CursorShape shape(image(width, height, 4, 2, argb), server);
    ASSERT_EQ(shape.width(), width);
    ASSERT_EQ(shape.height(), height);
    EXPECT_EQ(shape.cursor()->xhot, 4);
    EXPECT_EQ(shape.cursor()->yhot, 2);
    EXPECT_TRUE(shape.cursor()->alphaPreMultiplied);
    EXPECT_FALSE(shape.cursor()->cleanup || shape.cursor()->cleanupRichSource ||
                 shape.cursor()->cleanupMask || shape.cursor()->cleanupSource);
    for (int i = 0; i < width * height; i++) {
      int x = i % width, y = i / width;
      uint32_t v = argb[size_t(i)];
      EXPECT_EQ(shape.alphaAt(x, y), v >> 24) << x << "," << y;
      EXPECT_EQ(shape.maskAt(x, y), (v >> 24) >= 128) << x << "," << y;
      EXPECT_EQ(shape.richPixelAt(x, y),
                PixelAccess::fromRgb(server, (v >> 16) & 255, (v >> 8) & 255, v & 255));
    }
  }

  // No cursor: one transparent pixel. A pixel count that does not match: refused.
  CursorShape none(agentmsg::SetCursorImage{}, PixelAccess::toRfb(rfb::PixelFormat::rgb888()));
  EXPECT_EQ(none.width(), 1);
  EXPECT_EQ(none.alphaAt(0, 0), 0);
  EXPECT_FALSE(none.maskAt(0, 0));
  agentmsg::SetCursorImage cut = image(4, 4, 0, 0, std::vector<uint32_t>(16, 0xFF000000));
  cut.pixels.pop_back();
  EXPECT_ANY_THROW(CursorShape(cut, PixelAccess::toRfb(rfb::PixelFormat::rgb888())));
}

} // namespace kwoserve
