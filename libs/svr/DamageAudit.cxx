#include "libs/svr/DamageAudit.h"

#include "base/plat/Clock.h"
#include "base/plat/IntParameter.h"
#include "base/plat/LogSrc.h"
#include "base/plat/TimerManager.h"
#include "base/rfb/PixelBuffer.h"
#include "base/rfb/PixelBufferComparer.h"

#include <algorithm>
#include <string>

namespace svr {

namespace {

plat::LogSrc vlog("DamageAudit");

plat::IntParameter auditRate(
  "DamageAuditRate",
  "How many times a minute to compare the whole screen, half of it at a time, with the damage "
  "reported for it, so that changes damage missed are repaired and polling ends once damage is "
  "reliable again (0 turns this off)",
  36, 0, 60000);

constexpr int block = rfb::PixelBufferComparer::blockSize;

// Bands of equal height (so that one scratch image fits them all), whole
// blocks high where the area allows.
int bandHeight(int height) {
  int h = (height + DamageAudit::bandCount - 1) / DamageAudit::bandCount;
  h = (h + block - 1) / block * block;
  return std::min(h, height);
}

// `region` and the blocks next to it, corners included.
rfb::Region withNeighbours(const rfb::Region& region) {
  rfb::Region wide = region;
  for (int dx : {-block, block}) {
    rfb::Region moved = region;
    moved.translate(dx, 0);
    wide.assign_union(moved);
  }
  rfb::Region grown = wide;
  for (int dy : {-block, block}) {
    rfb::Region moved = wide;
    moved.translate(0, dy);
    grown.assign_union(moved);
  }
  return grown;
}

} // namespace

DamageAudit::DamageAudit(Callback& callback) : callback_(callback), timer_(*this) {}

DamageAudit::~DamageAudit() = default;

bool DamageAudit::enabled() {
  return auditRate > 0;
}

int DamageAudit::checkIntervalMs() {
  return std::max(1, 60000 / (bandCount * std::max(1, int(auditRate))));
}

void DamageAudit::trust(const rfb::PixelBuffer& shared, const rfb::Region& area, bool mayGiveUp) {
  start(Mode::trusting, shared, area);
  mayGiveUp_ = mayGiveUp;
}

void DamageAudit::doubt(const rfb::PixelBuffer& shared, const rfb::Region& area) {
  start(Mode::doubting, shared, area);
}

void DamageAudit::start(Mode mode, const rfb::PixelBuffer& shared, const rfb::Region& area) {
  stop();
  if (!enabled())
    return;
  mode_ = mode;
  shared_ = &shared;
  area_ = area.intersect(rfb::Region(shared.getRect()));
  band_ = 0;
  sweep_ = 0;
  misses_ = 0;
  lastMissSweep_ = -1;
  nearMiss_.clear();
  recentMisses_.clear();
  lastLogMs_ = nowMs() - logIntervalMs;
  unlogged_ = 0;
  anyDamage_ = nonFull_ = false;
  quietSinceMs_ = nowMs();
  changedChecks_ = 0;
  if (mode == Mode::doubting) {
    // Only while doubting: the band's previous pixels, whole screen's worth.
    reference_.setPF(shared.getPF());
    reference_.setRect(shared.getRect());
  }
  timer_.start(checkIntervalMs());
}

void DamageAudit::stop() {
  timer_.stop();
  mode_ = Mode::off;
  shared_ = nullptr;
  area_.clear();
  reference_.setRect(rfb::Rect());
  seen_.clear();
  damageSince_.clear();
  checkDamage_.clear();
}

void DamageAudit::damageReported(const rfb::Region& damage) {
  if (mode_ == Mode::off || damage.isEmpty())
    return;
  anyDamage_ = true;
  if (!damage.equals(rfb::Region(shared_->getRect())))
    nonFull_ = true;
  if (mode_ != Mode::doubting)
    return;
  damageSince_.assign_union(damage);
  if (checking_)
    checkDamage_.assign_union(damage);
}

rfb::Rect DamageAudit::nextBand() const {
  if (!shared_)
    return {};
  const rfb::Rect r = shared_->getRect();
  const int h = bandHeight(r.height());
  const int top = r.tl.y + std::min(band_ * h, r.height() - h);
  return rfb::Rect(r.tl.x, top, r.br.x, top + h);
}

bool DamageAudit::timerFired(plat::Timer&) {
  // Turned off meanwhile (through "setParams"): the audit ends here.
  if (!enabled()) {
    stop();
    return false;
  }
  // Restarted first: a verdict below stops the audit, and that must stand.
  timer_.start(checkIntervalMs());
  const rfb::Rect band = nextBand();
  const int sweep = sweep_;
  band_ = (band_ + 1) % bandCount;
  if (band_ == 0)
    sweep_++;
  checkDamage_.clear();
  const rfb::PixelBuffer* screen = callback_.readScreen(band);
  if (!screen)
    return false;
  const rfb::Region bandRegion(band);
  const rfb::Region area = area_.intersect(bandRegion);
  if (mode_ == Mode::trusting)
    checkTrusting(*screen, area, sweep);
  else
    checkDoubting(*screen, area, bandRegion);
  return false;
}

void DamageAudit::collectDamage() {
  checking_ = true;
  callback_.collectDamage();
  checking_ = false;
}

void DamageAudit::checkTrusting(const rfb::PixelBuffer& screen, const rfb::Region& area,
                                int sweep) {
  using rfb::PixelBufferComparer;
  const rfb::Point grid = shared_->getRect().tl;
  // Beyond the edge of the last miss's band the change may go on in rows
  // that the sample leaves out: those blocks are compared whole.
  const rfb::Region nearMiss = nearMiss_.intersect(area);
  nearMiss_.assign_subtract(area);
  rfb::Region found =
    PixelBufferComparer::differingBlocks(screen, *shared_, area, grid, rowStep, sweep % rowStep);
  found.assign_union(PixelBufferComparer::differingBlocks(screen, *shared_, nearMiss, grid));
  if (found.isEmpty())
    return;
  // Every row, so that one change is repaired (and counted) once.
  rfb::Region differing = PixelBufferComparer::differingBlocks(screen, *shared_, area, grid);
  // Damage not yet delivered explains its blocks: the update on its way
  // brings them.
  collectDamage();
  differing.assign_subtract(callback_.undelivered().roundToMultiple(block, block, grid));
  if (differing.isEmpty())
    return;
  nearMiss_.assign_union(withNeighbours(differing).subtract(area).intersect(area_));
  missed(differing, sweep, !differing.intersect(nearMiss).isEmpty());
}

void DamageAudit::missed(const rfb::Region& blocks, int sweep, bool goesOn) {
  callback_.repair(blocks);
  // A change that crosses bands is one miss.
  if (goesOn || sweep == lastMissSweep_)
    return;
  lastMissSweep_ = sweep;
  misses_++;
  const int64_t now = nowMs();
  recentMisses_.push_back(now);
  while (now - recentMisses_.front() >= missWindowMs)
    recentMisses_.pop_front();
  logMiss(blocks);
  if (!mayGiveUp_ || int(recentMisses_.size()) < missLimit)
    return;
  const bool any = anyDamage_;
  const bool nonFull = nonFull_;
  stop();
  callback_.damageUnreliable(any, nonFull);
}

void DamageAudit::logMiss(const rfb::Region& blocks) {
  const int64_t now = nowMs();
  if (now - lastLogMs_ < logIntervalMs) {
    unlogged_++;
    return;
  }
  lastLogMs_ = now;
  const std::string where = blocks.get_bounding_rect().printWH();
  if (unlogged_ > 0)
    vlog.status("Damage missed a change at %s, repaired (miss %d, %d not logged)", where.c_str(),
                misses_, unlogged_);
  else
    vlog.status("Damage missed a change at %s, repaired (miss %d)", where.c_str(), misses_);
  unlogged_ = 0;
}

void DamageAudit::checkDoubting(const rfb::PixelBuffer& screen, const rfb::Region& area,
                                const rfb::Region& band) {
  const rfb::Point grid = shared_->getRect().tl;
  const rfb::Region changes =
    rfb::PixelBufferComparer::differingBlocks(screen, reference_, area.intersect(seen_), grid);
  if (!changes.isEmpty()) {
    collectDamage();
    const rfb::Region explained = damageSince_.roundToMultiple(block, block, grid);
    const rfb::Region unexplained = changes.subtract(explained);
    if (unexplained.isEmpty()) {
      changedChecks_++;
    } else {
      vlog.debug("Change without damage at %s",
                 unexplained.get_bounding_rect().printWH().c_str());
      quietSinceMs_ = nowMs();
      changedChecks_ = 0;
    }
  }
  reference_.copyRegionFrom(screen, rfb::Point(), area);
  seen_.assign_union(area);
  // Damage collected by this check may be for changes made after the band
  // was read: it stays to explain them at the next check.
  damageSince_.assign_subtract(band);
  damageSince_.assign_union(checkDamage_.intersect(band));
  if (!quietLongEnough())
    return;
  vlog.status("Damage reported every change for %d s", int((nowMs() - quietSinceMs_) / 1000));
  stop();
  callback_.damageReliable();
}

bool DamageAudit::quietLongEnough() const {
  return nowMs() - quietSinceMs_ >= quietStretchMs && changedChecks_ >= minChangedChecks;
}

int64_t DamageAudit::nowMs() const {
  return plat::TimerManager::current()->now() / plat::ticksPerMs;
}

} // namespace svr
