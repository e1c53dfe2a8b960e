#include "libs/svr/DamageAudit.h"

#include "base/plat/TimerManager.h"
#include "base/plat/tests/TimerTestSupport.h"
#include "base/rfb/ManagedPixelBuffer.h"
#include "base/rfb/PixelFormat.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

namespace svr {
namespace {

using rfb::Rect;
using rfb::Region;
using Mode = DamageAudit::Mode;

// Plays the capture engine over a screen in memory: drawing with damage
// queues the damage, which collectDamage() takes and which then stays
// undelivered until deliver(); hidden drawing changes the screen only.
// Repairs and deliveries copy the screen into the shared buffer, as the
// update that follows them does.
class FakeEngine : public DamageAudit::Callback {
public:
  explicit FakeEngine(const Rect& rect)
    : screen(rfb::PixelFormat::rgb888(), rect), shared(rfb::PixelFormat::rgb888(), rect) {
    for (int y = rect.tl.y; y < rect.br.y; y++)
      for (int x = rect.tl.x; x < rect.br.x; x++)
        screen.setPixel(x, y, uint32_t(x * 131 + y * 7));
    shared.copyRegionFrom(screen, rfb::Point(), Region(rect));
  }

  void draw(const Rect& r) { screen.fillRect(r, colour++); }
  void drawWithDamage(const Rect& r) {
    draw(r);
    queued.assign_union(Region(r));
  }
  void deliver() {
    shared.copyRegionFrom(screen, rfb::Point(), waiting);
    waiting.clear();
  }

  const rfb::PixelBuffer* readScreen(const Rect& area) override {
    scratch = std::make_unique<rfb::ManagedPixelBuffer>(screen.getPF(), area);
    scratch->copyRegionFrom(screen, rfb::Point(), Region(area));
    // Drawn after the reading, so that its damage comes with the reading's
    // collection.
    if (afterRead)
      drawWithDamage(*afterRead);
    afterRead.reset();
    return scratch.get();
  }
  void collectDamage() override {
    audit->damageReported(queued);
    waiting.assign_union(queued);
    queued.clear();
  }
  Region undelivered() override { return waiting; }
  void repair(const Region& missed) override {
    repaired.assign_union(missed);
    shared.copyRegionFrom(screen, rfb::Point(), missed);
  }
  void damageUnreliable(bool any, bool nonFull) override {
    unreliable.push_back({any, nonFull});
  }
  void damageReliable() override { reliable++; }

  rfb::ManagedPixelBuffer screen;
  rfb::ManagedPixelBuffer shared;
  std::unique_ptr<rfb::ManagedPixelBuffer> scratch;
  DamageAudit* audit = nullptr;
  Region queued;
  Region waiting;
  std::optional<Rect> afterRead;
  Region repaired;
  std::vector<std::pair<bool, bool>> unreliable;
  int reliable = 0;
  uint32_t colour = 0xff000001;
};

class DamageAuditTest : public ::testing::Test {
protected:
  DamageAuditTest() : engine(Rect(0, 0, 96, 80)), audit(engine) {
    engine.audit = &audit;
  }

  void trust() { audit.trust(engine.shared, Region(engine.shared.getRect()), true); }
  void doubt() { audit.doubt(engine.shared, Region(engine.shared.getRect())); }

  void checks(int count) {
    for (int i = 0; i < count; i++) {
      clock.advanceMs(DamageAudit::checkIntervalMs());
      timers.processTimers();
    }
  }
  // Enough checks to read every band once.
  void sweep() { checks(DamageAudit::bandCount); }

  plat_test::FakeClock clock;
  plat::TimerManager timers{true, &clock};
  FakeEngine engine;
  DamageAudit audit;
};

TEST_F(DamageAuditTest, TrustingFindsWhatNoDamageExplains) {
  struct Case {
    const char* name;
    std::vector<Rect> hidden;
    std::vector<Rect> damaged;
    bool delivered;
    Region area; // empty: the whole buffer
    Region repaired;
    int misses;
    int sweeps = 1;
  };
  const Case cases[] = {
    {"a change without damage", {{20, 20, 30, 25}}, {}, false, {}, Region(Rect(16, 16, 32, 32)), 1},
    {"damage on its way", {}, {{20, 20, 30, 25}}, false, {}, {}, 0},
    {"damage delivered", {}, {{20, 20, 30, 25}}, true, {}, {}, 0},
    {"damage on its way in the same block", {{17, 17, 18, 18}}, {{30, 30, 31, 31}}, false, {}, {},
     0},
    {"outside the captured area", {{70, 60, 80, 70}}, {}, false, Region(Rect(0, 0, 64, 80)), {},
     0},
    {"two blocks in two bands: one miss", {{0, 0, 1, 1}, {90, 72, 96, 80}}, {}, false, {},
     Region(Rect(0, 0, 16, 16)).unite(Region(Rect(80, 64, 96, 80))), 1},
    {"a change over many rows, found whole", {{20, 7, 21, 40}}, {}, false, {},
     Region(Rect(16, 0, 32, 48)), 1},
    {"one row, left out by the first sweeps", {{20, 23, 30, 24}}, {}, false, {}, {}, 0,
     DamageAudit::rowStep - 1},
    {"one row, found by the sweep that reads it", {{20, 23, 30, 24}}, {}, false, {},
     Region(Rect(16, 16, 32, 32)), 1, DamageAudit::rowStep},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    engine.repaired.clear();
    audit.trust(engine.shared, c.area.isEmpty() ? Region(engine.shared.getRect()) : c.area, true);
    for (const Rect& r : c.hidden)
      engine.draw(r);
    for (const Rect& r : c.damaged)
      engine.drawWithDamage(r);
    if (c.delivered) {
      checks(1);
      engine.deliver();
    }
    for (int i = 0; i < c.sweeps; i++)
      sweep();
    EXPECT_TRUE(engine.repaired.equals(c.repaired)) << engine.repaired.print();
    EXPECT_EQ(audit.misses(), c.misses);
    EXPECT_EQ(audit.mode(), Mode::trusting) << "an isolated miss keeps damage";
    engine.deliver();
    engine.shared.copyRegionFrom(engine.screen, rfb::Point(), Region(engine.screen.getRect()));
  }
  EXPECT_TRUE(engine.unreliable.empty());
}

TEST_F(DamageAuditTest, AChangeAcrossABandsEdgeIsFoundWholeAsOneMiss) {
  trust();
  sweep();
  sweep();
  // Rows 48 and 49 are past the first band and left out of this sweep's
  // sample of the second; the second band's rows above them are repaired
  // with the first band. They used to wait for a sweep that read them.
  engine.draw(Rect(20, 40, 30, 50));
  sweep();
  EXPECT_TRUE(engine.repaired.equals(Region(Rect(16, 32, 32, 64)))) << engine.repaired.print();
  EXPECT_EQ(audit.misses(), 1);
}

TEST_F(DamageAuditTest, RepeatedMissesMakeDamageUnreliable) {
  trust();
  engine.drawWithDamage(Rect(40, 40, 41, 41));
  for (int i = 0; i < DamageAudit::missLimit; i++) {
    EXPECT_TRUE(engine.unreliable.empty());
    engine.draw(Rect(0, 0, 5, 5));
    sweep();
  }
  ASSERT_EQ(engine.unreliable.size(), 1u);
  EXPECT_EQ(engine.unreliable[0], std::make_pair(true, true));
  EXPECT_EQ(audit.mode(), Mode::off);
  EXPECT_EQ(timers.msUntilNext(), -1);
}

TEST_F(DamageAuditTest, DamageCollectedWithAReadingExplainsTheNextOne) {
  doubt();
  sweep();
  // Every check finds a change (made before it, with damage) and so
  // collects damage, which includes that of a change made just after the
  // band was read. That second change used to look unexplained at the next
  // reading of the band, which had forgotten its damage.
  for (int i = 0; engine.reliable == 0 && i < 100; i++) {
    const Rect band = audit.nextBand();
    engine.drawWithDamage(Rect(band.tl.x + 40, band.tl.y, band.tl.x + 44, band.tl.y + 4));
    engine.afterRead = Rect(band.tl.x, band.tl.y, band.tl.x + 4, band.tl.y + 4);
    checks(1);
  }
  EXPECT_EQ(engine.reliable, 1);
}

} // namespace
} // namespace svr
