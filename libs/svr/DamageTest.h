#pragma once

// Checks whether XDAMAGE reports every real change of the screen: keeps a
// snapshot of the screen buffer, waits until the pixels really differ from
// it, and compares the changed 16x16 blocks with the damage reported
// meanwhile. Reports once, through DamageTestCallback, then is deleted by the
// engine. Loop thread only.
//
// Invariant: `damaged_` holds the damage reported since the snapshot was last
// found equal to the screen (or since construction).

#include "base/plat/Timer.h"
#include "base/rfb/PixelBufferComparer.h"
#include "base/rfb/Region.h"

#include <string>

namespace rfb {
class PixelBuffer;
}

namespace svr {

class DamageTestCallback;

class DamageTest : private plat::Timer::Callback {
public:
  static constexpr int checkIntervalMs = 5000;

  // Takes the snapshot now and checks every checkIntervalMs. `buffer` is the
  // screen buffer: its grabRegion() brings pixels up to date from the screen.
  // Neither argument is owned; both must outlive the test.
  DamageTest(DamageTestCallback& callback, rfb::PixelBuffer& buffer);
  ~DamageTest() override;
  DamageTest(const DamageTest&) = delete;
  DamageTest& operator=(const DamageTest&) = delete;

  // Damage reported by the X server, already clipped to the buffer.
  void addDamage(const rfb::Region& region);

  const rfb::Region& getDamaged() const { return damaged_; }
  bool isNonFull() const { return nonFull_; }
  // Still waiting for the screen to change.
  bool isRunning() const { return timer_.isRunning(); }

  // The line the capture engine logs for a result.
  static std::string resultText(bool any, bool all, bool nonFull);
  // Whether capture through damage is broken: some real change was missed.
  // Only `all` decides; the others are for the log.
  static bool captureBroken(bool any, bool all, bool nonFull);

private:
  bool timerFired(plat::Timer& timer) override;
  void grabWhole();

  DamageTestCallback& callback_;
  rfb::PixelBuffer& buffer_;
  plat::Timer timer_;
  rfb::Region damaged_;
  rfb::PixelBufferComparer comparer_;
  bool nonFull_ = false;
};

} // namespace svr
