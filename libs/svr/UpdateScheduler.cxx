#include "libs/svr/UpdateScheduler.h"

#include "base/plat/Exception.h"
#include "base/plat/IntParameter.h"
#include "base/plat/LogSrc.h"
#include "libs/svr/SServer.h"
#include "libs/svr/UpdateInfo.h"

#include <utility>

namespace svr {

namespace {

plat::LogSrc vlog("UpdateScheduler");

plat::IntParameter updatePeriod("UpdatePeriod", "Minimum time in milliseconds between updates", 25,
                                0, 2147483647);

plat::IntParameter updateBatchDelay("UpdateBatchDelay",
                                    "Time in milliseconds to delay in order to batch updates", 1,
                                    0, 2147483647);

} // namespace

UpdateScheduler::UpdateScheduler(Callback& callback)
  : callback_(callback), periodTimer_(*this), batchTimer_(*this) {}

UpdateScheduler::~UpdateScheduler() = default;

void UpdateScheduler::changesAdded() {
  if (batchTimer_.isRunning())
    return;
  // 0 is allowed: the timer then fires in the loop's next pass, after the
  // rest of the events already waiting.
  batchTimer_.start(updateBatchDelay);
}

void UpdateScheduler::requestUpdate() {
  tryUpdate();
}

void UpdateScheduler::tryUpdate() {
  if (periodTimer_.isRunning() || !pending_)
    return;
  if (!server_ || !server_->isUpdateRequested())
    return;

  pending_ = false;
  if (updatePeriod > 0)
    periodTimer_.start(updatePeriod);

  callback_.prepareUpdate();
  deliver();
}

void UpdateScheduler::deliver() {
  UpdateInfo update;
  try {
    mergePendingCopy();
    update.copied = getCopied();
    update.offset = getCopyOffset();
    update.changed = getChanged();
    clear();
    server_->fbUpdate(update);
  } catch (const plat::Exception& e) {
    vlog.error("%s", e.describe().c_str());
    // The server never got these pixels; a later update must carry them, or
    // the viewers would keep the old picture there until it changes again.
    // As plain pixels, because the screen no longer holds the copy's source.
    addChanged(update.copied.unite(update.changed));
    // Ready again, so that they do not wait for a change somewhere else: the
    // end of the period, or the next request, tries again.
    pending_ = true;
  }
}

bool UpdateScheduler::timerFired(plat::Timer& timer) {
  if (&timer == &batchTimer_)
    pending_ = true;
  tryUpdate();
  return false;
}

} // namespace svr
