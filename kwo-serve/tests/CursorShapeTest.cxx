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

TEST(CursorShape, PixelsAlphaMaskAndHotspotFollowTheImage) {
  std::mt19937 random(11);
  const int width = 13, height = 7;
  std::vector<uint32_t> argb;
  for (int i = 0; i < width * height; i++) {
    uint32_t a = random() % 256;
    // Premultiplied: no channel above alpha.
    uint32_t r = a ? random() % (a + 1) : 0, g = a ? random() % (a + 1) : 0,
             b = a ? random() % (a + 1) : 0;
    argb.push_back(a << 24 | r << 16 | g << 8 | b);
  }
  rfbPixelFormat server = PixelAccess::toRfb(rfb::PixelFormat::rgb888());
  CursorShape shape(image(width, height, 4, 2, argb), server);
  ASSERT_EQ(shape.width(), width);
  ASSERT_EQ(shape.height(), height);
  EXPECT_EQ(shape.cursor()->xhot, 4);
  EXPECT_EQ(shape.cursor()->yhot, 2);
  EXPECT_TRUE(shape.cursor()->alphaPreMultiplied);
  EXPECT_FALSE(shape.cursor()->cleanup || shape.cursor()->cleanupRichSource ||
               shape.cursor()->cleanupMask || shape.cursor()->cleanupSource);
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) {
      SCOPED_TRACE(testing::Message() << x << "," << y);
      uint32_t v = argb[size_t(y) * width + x];
      EXPECT_EQ(shape.alphaAt(x, y), v >> 24);
      EXPECT_EQ(shape.maskAt(x, y), (v >> 24) >= 128);
      EXPECT_EQ(shape.richPixelAt(x, y), PixelAccess::fromRgb(server, (v >> 16) & 255,
                                                              (v >> 8) & 255, v & 255));
    }
  }
}

TEST(CursorShape, RichPixelsIn16BitServerFormat) {
  rfbPixelFormat server = PixelAccess::toRfb(rfb::PixelFormat::rgb565());
  CursorShape shape(image(2, 1, 0, 0, {0xFFFF0000, 0xFF0000FF}), server);
  EXPECT_EQ(shape.richPixelAt(0, 0), PixelAccess::fromRgb(server, 255, 0, 0));
  EXPECT_EQ(shape.richPixelAt(1, 0), PixelAccess::fromRgb(server, 0, 0, 255));
  EXPECT_NE(shape.richPixelAt(0, 0), shape.richPixelAt(1, 0));
}

TEST(CursorShape, NoCursorIsOneTransparentPixel) {
  agentmsg::SetCursorImage none;
  CursorShape shape(none, PixelAccess::toRfb(rfb::PixelFormat::rgb888()));
  EXPECT_EQ(shape.width(), 1);
  EXPECT_EQ(shape.alphaAt(0, 0), 0);
  EXPECT_FALSE(shape.maskAt(0, 0));
}

TEST(CursorShape, MismatchedPixelCountIsRefused) {
  agentmsg::SetCursorImage msg = image(4, 4, 0, 0, std::vector<uint32_t>(16, 0xFF000000));
  msg.pixels.pop_back();
  EXPECT_ANY_THROW(CursorShape(msg, PixelAccess::toRfb(rfb::PixelFormat::rgb888())));
}

} // namespace kwoserve
