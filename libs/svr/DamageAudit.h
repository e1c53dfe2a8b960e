#pragma once

// Keeps checking, for the whole session, whether XDAMAGE reports every change
// of the screen. "DamageAuditRate" times a minute it sweeps the buffer's
// area: one check reads one of bandCount bands from the screen, the next
// check the next band, and compares it in 16x16 blocks:
//
// - trusting (damage in use): with what the viewers were sent, the shared
//   buffer. An idle screen costs little: a check first compares every
//   rowStep-th row only (the rows move on by one at each sweep, so that a
//   change rowStep rows high or more is found within a sweep, any change
//   within rowStep sweeps), and only when those differ every row. Blocks
//   that differ where no damage is waiting to be delivered, once the damage
//   reported so far is collected, are missed: they are handed back at once
//   to be sent with the next update. The blocks next to them in other bands
//   are compared whole at those bands' next checks, so that a change that
//   crosses a band's edge is found whole. A sweep that misses blocks counts
//   one miss (a change found on both sides of an edge counts once), logged
//   (at most one line per logIntervalMs). missLimit misses within
//   missWindowMs make damage unreliable, unless the audit only repairs.
// - doubting (polling because damage was found unreliable): every row, with
//   what the band held at its previous check, kept in a reference image.
//   Changed blocks that no damage reported since then are unexplained.
//   After quietStretchMs without an unexplained change, in which at least
//   minChangedChecks checks found changes (all explained), damage is
//   reliable again.
//
// Damage is collected only when a check finds differences, and after the
// band was read, so that it holds every change the reading shows.
//
// Invariants: the timer runs exactly while the mode is not off; `seen_` is
// the part of the area whose reference pixels were read while doubting;
// `damageSince_` holds, per band, the damage reported since that band's last
// check (and the damage of that check's own collection). Loop thread only.

#include "base/plat/Timer.h"
#include "base/rfb/ManagedPixelBuffer.h"
#include "base/rfb/Region.h"

#include <cstdint>
#include <deque>

namespace rfb {
class PixelBuffer;
}

namespace svr {

class DamageAudit : private plat::Timer::Callback {
public:
  // What the audit asks of the capture engine.
  class Callback {
  public:
    virtual ~Callback() = default;
    // Reads the screen under `area` into pixels of the engine's own (never
    // the shared buffer). Null when the screen could not be read. The
    // pixels stay valid until the next call.
    virtual const rfb::PixelBuffer* readScreen(const rfb::Rect& area) = 0;
    // Collects the damage reported until now, which reaches the audit
    // through damageReported().
    virtual void collectDamage() = 0;
    // Damage collected but not yet delivered to the viewers.
    virtual rfb::Region undelivered() = 0;
    // `missed` is to go to the viewers with the next update.
    virtual void repair(const rfb::Region& missed) = 0;
    // Verdicts; the audit is stopped when they are called, and the engine
    // restarts it in the mode it chooses. `any`: damage was reported while
    // trusting; `nonFull`: some report was smaller than the whole buffer.
    virtual void damageUnreliable(bool any, bool nonFull) = 0;
    virtual void damageReliable() = 0;
  };

  enum class Mode { off, trusting, doubting };

  static constexpr int bandCount = 2;
  static constexpr int rowStep = 8;
  static constexpr int missLimit = 3;
  static constexpr int missWindowMs = 60000;
  static constexpr int logIntervalMs = 10000;
  static constexpr int quietStretchMs = 10000;
  static constexpr int minChangedChecks = 3;

  // `callback` is not owned and must outlive the audit.
  explicit DamageAudit(Callback& callback);
  ~DamageAudit() override;
  DamageAudit(const DamageAudit&) = delete;
  DamageAudit& operator=(const DamageAudit&) = delete;

  // Whether "DamageAuditRate" asks for an audit at all.
  static bool enabled();
  // The time between two checks at the rate set now.
  static int checkIntervalMs();

  // Starts (or restarts, with fresh counts) checking `area` (the captured
  // part of `shared`, framebuffer coordinates). `shared` is not owned and
  // must stay until stop() or the next start. With `mayGiveUp` false misses
  // are repaired but never make damage unreliable. Nothing starts when the
  // audit is disabled; disabled while running, it stops at its next check
  // (and an audit enabled later starts with the next of these calls).
  void trust(const rfb::PixelBuffer& shared, const rfb::Region& area, bool mayGiveUp);
  void doubt(const rfb::PixelBuffer& shared, const rfb::Region& area);
  void stop();

  // Every damage region the engine collects, clipped to the buffer.
  void damageReported(const rfb::Region& damage);

  Mode mode() const { return mode_; }
  // Misses found since the last trust().
  int misses() const { return misses_; }
  // The band the next check reads.
  rfb::Rect nextBand() const;

private:
  bool timerFired(plat::Timer& timer) override;
  void start(Mode mode, const rfb::PixelBuffer& shared, const rfb::Region& area);
  void checkTrusting(const rfb::PixelBuffer& screen, const rfb::Region& area, int sweep);
  void checkDoubting(const rfb::PixelBuffer& screen, const rfb::Region& area,
                     const rfb::Region& band);
  void collectDamage();
  // `goesOn`: the blocks continue the last miss across a band's edge.
  void missed(const rfb::Region& blocks, int sweep, bool goesOn);
  void logMiss(const rfb::Region& blocks);
  bool quietLongEnough() const;
  int64_t nowMs() const;

  Callback& callback_;
  plat::Timer timer_;
  Mode mode_ = Mode::off;
  const rfb::PixelBuffer* shared_ = nullptr;
  rfb::Region area_;
  int band_ = 0;
  int sweep_ = 0;
  bool mayGiveUp_ = true;

  // Trusting.
  int misses_ = 0;
  int lastMissSweep_ = -1;
  // Blocks next to the last misses, outside the bands that found them.
  rfb::Region nearMiss_;
  std::deque<int64_t> recentMisses_;
  int64_t lastLogMs_ = 0;
  int unlogged_ = 0;
  bool anyDamage_ = false;
  bool nonFull_ = false;

  // Doubting.
  rfb::ManagedPixelBuffer reference_;
  rfb::Region seen_;
  rfb::Region damageSince_;
  rfb::Region checkDamage_;
  bool checking_ = false;
  int64_t quietSinceMs_ = 0;
  int changedChecks_ = 0;
};

} // namespace svr
