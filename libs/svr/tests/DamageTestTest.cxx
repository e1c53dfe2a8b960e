#include "libs/svr/DamageTest.h"

#include "base/plat/TimerManager.h"
#include "base/plat/tests/TimerTestSupport.h"
#include "base/rfb/ManagedPixelBuffer.h"
#include "base/rfb/PixelFormat.h"
#include "libs/svr/DamageTestCallback.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

namespace svr {
namespace {

using rfb::Rect;
using rfb::Region;

// A screen buffer in memory whose grabs fetch from a second buffer standing
// for the X server's screen.
class InMemoryScreenBuffer : public rfb::ManagedPixelBuffer {
public:
  InMemoryScreenBuffer(const rfb::PixelBuffer& screen)
    : ManagedPixelBuffer(screen.getPF(), screen.getRect()), screen_(screen) {}

  void grabRegion(const Region& region) override {
    grabs++;
    copyRegionFrom(screen_, rfb::Point(), region.intersect(Region(getRect())));
  }

  int grabs = 0;

private:
  const rfb::PixelBuffer& screen_;
};

struct Result {
  bool any;
  bool all;
  bool nonFull;
};

// Plays the capture engine: hands queued damage over when asked, and deletes
// the test when it reports, as the engine does.
class FakeEngine : public DamageTestCallback {
public:
  void collectDamage() override {
    collects++;
    for (const Region& region : queued)
      test->addDamage(region);
    queued.clear();
  }

  void damageTestResult(DamageTest* finished, bool any, bool all, bool nonFull) override {
    EXPECT_EQ(test.get(), finished);
    EXPECT_FALSE(result.has_value()) << "a test reports once";
    result = Result{any, all, nonFull};
    test.reset();
  }

  std::unique_ptr<DamageTest> test;
  std::vector<Region> queued;
  std::optional<Result> result;
  int collects = 0;
};

class DamageTestTest : public ::testing::Test {
protected:
  explicit DamageTestTest(const Rect& rect = Rect(0, 0, 64, 48)) : screen(rfb::PixelFormat::rgb888(), rect) {
    const Rect r = screen.getRect();
    for (int y = r.tl.y; y < r.br.y; y++)
      for (int x = r.tl.x; x < r.br.x; x++)
        screen.setPixel(x, y, uint32_t(x * 131 + y * 7));
    buffer = std::make_unique<InMemoryScreenBuffer>(screen);
  }

  void startTest() { engine.test = std::make_unique<DamageTest>(engine, *buffer); }

  void advanceMs(int ms) {
    clock.advanceMs(ms);
    timers.processTimers();
  }

  void draw(const Rect& rect, uint32_t pixel = 0xabcdef) { screen.fillRect(rect, pixel); }

  plat_test::FakeClock clock;
  plat::TimerManager timers{true, &clock};
  rfb::ManagedPixelBuffer screen;
  std::unique_ptr<InMemoryScreenBuffer> buffer;
  FakeEngine engine;
};

struct Case {
  const char* name;
  std::vector<Rect> drawn;
  std::vector<Rect> reported;
  std::vector<Rect> reportedLate; // only fetched when the test asks for damage
  bool any, all, nonFull;
};

TEST_F(DamageTestTest, ResultAgainstRealChanges) {
  const Case cases[] = {
    {"damage for part of a block covers the block", {{16, 16, 32, 32}}, {{20, 20, 21, 21}}, {},
     1, 1, 1},
    {"no damage at all", {{3, 3, 9, 9}}, {}, {}, 0, 0, 0},
    {"damage in the next block only", {{15, 0, 17, 1}}, {{16, 0, 17, 1}}, {}, 1, 0, 1},
    {"the whole screen reported", {{5, 5, 6, 6}}, {{0, 0, 64, 48}}, {}, 1, 1, 0},
    {"an empty report is ignored", {{5, 5, 6, 6}}, {{7, 7, 7, 9}}, {}, 0, 0, 0},
    {"damage collected only at the check", {{30, 40, 50, 48}}, {}, {{30, 40, 50, 48}}, 1, 1, 1},
    {"the whole screen and then a part", {{0, 0, 1, 1}}, {{0, 0, 64, 48}, {0, 0, 1, 1}}, {}, 1,
     1, 1},
    {"a part and then the whole screen", {{0, 0, 1, 1}}, {{0, 0, 1, 1}, {0, 0, 64, 48}}, {}, 1,
     1, 1},
  };
  // Every case draws new colours over the screen the previous one left.
  uint32_t colour = 0x10000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    engine.result.reset();
    engine.collects = 0;
    startTest();
    for (const Rect& r : c.drawn)
      draw(r, colour++);
    for (const Rect& r : c.reported)
      engine.test->addDamage(Region(r));
    for (const Rect& r : c.reportedLate)
      engine.queued.push_back(Region(r));

    advanceMs(DamageTest::checkIntervalMs - 1);
    EXPECT_FALSE(engine.result) << "too early";
    advanceMs(1);
    ASSERT_TRUE(engine.result);
    EXPECT_EQ(1, engine.collects) << "late damage is fetched before deciding";
    EXPECT_EQ(c.any, engine.result->any);
    EXPECT_EQ(c.all, engine.result->all);
    EXPECT_EQ(c.nonFull, engine.result->nonFull);
    EXPECT_EQ(!c.all, DamageTest::captureBroken(engine.result->any, engine.result->all,
                                                engine.result->nonFull));
    EXPECT_EQ(nullptr, engine.test) << "the engine deleted it";
    EXPECT_EQ(-1, timers.msUntilNext()) << "no timer of the deleted test remains";
  }
}

TEST_F(DamageTestTest, DamageFromAQuietPeriodDoesNotVouchForLaterChanges) {
  startTest();
  // A repaint with the same pixels reports damage but changes nothing.
  engine.test->addDamage(Region(Rect(0, 0, 64, 48)));
  advanceMs(DamageTest::checkIntervalMs);
  ASSERT_FALSE(engine.result);
  EXPECT_TRUE(engine.test->getDamaged().isEmpty());

  // Used to be reported as covered by the old full-screen damage, keeping a
  // damage source that missed this change.
  draw(Rect(30, 30, 31, 31));
  advanceMs(DamageTest::checkIntervalMs);
  ASSERT_TRUE(engine.result);
  EXPECT_FALSE(engine.result->any);
  EXPECT_FALSE(engine.result->all);
  EXPECT_TRUE(DamageTest::captureBroken(false, false, false));
}

// A buffer that captures one monitor starts where the monitor does, which
// need not be on the 16-pixel grid of the screen.
class OffsetBufferTest : public DamageTestTest {
protected:
  OffsetBufferTest() : DamageTestTest(Rect(8, 8, 72, 56)) {}
};

TEST_F(OffsetBufferTest, DamageIsMeasuredInTheBuffersOwnBlocks) {
  startTest();
  draw(Rect(10, 10, 11, 11));
  engine.test->addDamage(Region(Rect(10, 10, 11, 11)));
  advanceMs(DamageTest::checkIntervalMs);
  ASSERT_TRUE(engine.result);
  // Used to fail: damage rounded to cells from (0, 0) ended at x = 16 while the
  // changed block runs to x = 24, so correct damage was taken for unreliable.
  EXPECT_TRUE(engine.result->all);
  EXPECT_TRUE(engine.result->nonFull);
}

} // namespace
} // namespace svr
