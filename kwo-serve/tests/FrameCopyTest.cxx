#include "kwo-serve/FrameCopy.h"

#include "kwo-serve/PixelAccess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

namespace kwoserve {

namespace {

// The agent's side: a 40x20 picture in rows of 48 pixels, every pixel its own
// value, in a format of `bytes` bytes per pixel (little-endian rgb888).
struct AgentPicture {
  static constexpr int width = 40, height = 20, stride = 48;
  explicit AgentPicture(int bytes) : bytes(bytes), memory(size_t(stride) * height * bytes) {
    for (int y = 0; y < height; y++)
      for (int x = 0; x < width; x++)
        set(x, y, uint32_t(y * 1000 + x * 7));
  }
  rfb::PixelFormat pf() const {
    return rfb::PixelFormat(bytes * 8, 24, false, true, 255, 255, 255, 0, 16, 8, 0, 0);
  }
  void set(int x, int y, uint32_t rgb) {
    PixelAccess::store(memory.data() + (size_t(y) * stride + x) * bytes, bytes, rgb);
  }
  uint32_t get(int x, int y) const {
    return PixelAccess::load(memory.data() + (size_t(y) * stride + x) * bytes, bytes);
  }
  int bytes;
  std::vector<uint8_t> memory;
};

// Whether the served copy shows the agent's picture (as 0xRRGGBB values).
bool copyShows(const FrameCopy& frame, const AgentPicture& agent) {
  for (int y = 0; y < agent.height; y++)
    for (int x = 0; x < agent.width; x++)
      if ((PixelAccess::load(frame.data() + y * frame.bytesPerRow() + x * 4, 4) & 0xffffff) !=
          agent.get(x, y))
        return false;
  return true;
}

} // namespace

TEST(FrameCopy, ViewersAreToldOnlyOfBlocksThatReallyDiffer) {
  const rfb::Region whole(rfb::Rect(0, 0, 40, 20));
  struct Case {
    const char* what;
    std::function<void(AgentPicture&)> paint;
    rfb::Region claimed;
    rfb::Region reported;
  } cases[] = {
      {"repaint with equal pixels", [](AgentPicture&) {}, whole, {}},
      {"one pixel in a block's last row", [](AgentPicture& a) { a.set(20, 15, 1); }, whole,
       rfb::Region(rfb::Rect(16, 0, 32, 16))},
      {"the narrow last column of blocks", [](AgentPicture& a) { a.set(39, 19, 1); }, whole,
       rfb::Region(rfb::Rect(32, 16, 40, 20))},
      {"a change outside the claim waits for its own update",
       [](AgentPicture& a) { a.set(0, 0, 1); }, rfb::Region(rfb::Rect(16, 0, 40, 20)), {}},
  };
  // 4 bytes are served as they are; 3 bytes are translated to 32 bits.
  for (int bytes : {4, 3}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << c.what << ", " << bytes << " bytes per pixel");
      AgentPicture agent(bytes);
      FrameCopy frame;
      frame.follow(agent.memory.data(), agent.width, agent.height, agent.stride, agent.pf());
      EXPECT_EQ(frame.translating(), bytes == 3);
      EXPECT_EQ(frame.pf().bpp, 32);
      ASSERT_TRUE(copyShows(frame, agent));
      c.paint(agent);
      FrameCopy::Changes real = frame.update({}, rfb::Point(), c.claimed);
      EXPECT_EQ(real.changed, c.reported) << real.changed.print();
      EXPECT_TRUE(real.copied.isEmpty());
      EXPECT_EQ(copyShows(frame, agent), c.claimed == whole);
    }
  }
}

TEST(FrameCopy, ScrolledPixelsAreMovedInTheCopyAndABlackPictureFollowsNothing) {
  AgentPicture agent(4);
  FrameCopy frame;
  frame.follow(agent.memory.data(), agent.width, agent.height, agent.stride, agent.pf());
  // The agent scrolls up by 4 rows and draws a new line in the last 4.
  for (int y = 0; y < 20; y++)
    for (int x = 0; x < agent.width; x++)
      agent.set(x, y, y < 16 ? agent.get(x, y + 4) : 0xabcdef);
  FrameCopy::Changes real = frame.update(rfb::Region(rfb::Rect(0, 0, 40, 16)), rfb::Point(0, -4),
                                         rfb::Region(rfb::Rect(0, 16, 40, 20)));
  EXPECT_EQ(real.copied, rfb::Region(rfb::Rect(0, 0, 40, 16))) << real.copied.print();
  EXPECT_EQ(real.offset, rfb::Point(0, -4));
  EXPECT_EQ(real.changed, rfb::Region(rfb::Rect(0, 16, 40, 20))) << real.changed.print();
  EXPECT_TRUE(copyShows(frame, agent));

  frame.showBlack(0, 5, rfb::PixelFormat::rgb888());
  EXPECT_FALSE(frame.following());
  EXPECT_EQ(frame.width() * 100 + frame.height(), 105);
  EXPECT_TRUE(frame.update({}, rfb::Point(), rfb::Region(rfb::Rect(0, 0, 1, 5))).changed.isEmpty());
  EXPECT_EQ(std::count(frame.data(), frame.data() + 5 * 4, 0), 5 * 4);
}

} // namespace kwoserve
