#include "libs/svr/DamageTest.h"

#include "base/plat/Format.h"
#include "base/rfb/PixelBuffer.h"
#include "libs/svr/DamageTestCallback.h"

namespace svr {

DamageTest::DamageTest(DamageTestCallback& callback, rfb::PixelBuffer& buffer)
  : callback_(callback), buffer_(buffer), timer_(*this) {
  grabWhole();
  comparer_.setPB(&buffer_);
  comparer_.syncFormatAndRect();
  comparer_.copyFromSource(rfb::Region(buffer_.getRect()));
  timer_.start(checkIntervalMs);
}

DamageTest::~DamageTest() = default;

void DamageTest::addDamage(const rfb::Region& region) {
  if (region.isEmpty())
    return;
  if (!region.equals(rfb::Region(buffer_.getRect())))
    nonFull_ = true;
  damaged_.assign_union(region);
}

std::string DamageTest::resultText(bool any, bool all, bool nonFull) {
  return plat::format("Damage test: any %d all %d non full %d", int(any), int(all), int(nonFull));
}

bool DamageTest::captureBroken(bool, bool all, bool) {
  return !all;
}

void DamageTest::grabWhole() {
  buffer_.grabRegion(rfb::Region(buffer_.getRect()));
}

bool DamageTest::timerFired(plat::Timer&) {
  grabWhole();
  rfb::PixelBufferComparer::Update update;
  update.changed.reset(buffer_.getRect());
  comparer_.compare(update);
  rfb::Region missed = std::move(update.changed);

  if (missed.isEmpty()) {
    // The snapshot equals the screen again, so damage reported until now was
    // for changes that undid themselves. Keeping it would let it vouch for a
    // later change in the same place that damage never reported.
    damaged_.clear();
    timer_.start(checkIntervalMs);
    return false;
  }

  callback_.collectDamage();
  // Measure damage in the comparer's blocks, which start at the buffer's
  // top-left corner, not at the screen's origin.
  const rfb::Region covered = damaged_.roundToMultiple(
    rfb::PixelBufferComparer::blockSize, rfb::PixelBufferComparer::blockSize,
    buffer_.getRect().tl);
  missed.assign_subtract(covered);

  const bool any = !damaged_.isEmpty();
  const bool all = missed.isEmpty();
  // The engine deletes this test in the call: nothing may follow it.
  callback_.damageTestResult(this, any, all, nonFull_);
  return false;
}

} // namespace svr
