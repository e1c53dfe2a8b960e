#pragma once

// Decides when the accumulated screen changes leave as one framebuffer
// update: only while the server has asked for one, no sooner than
// "UpdatePeriod" ms after the previous update started, and "UpdateBatchDelay"
// ms after the first change of a batch, so that bursts of small changes leave
// together.
//
// States: idle -> batching (batch timer running) -> ready (pending set) ->
// delivered (period timer running, pending clear) -> ... Changes keep
// accumulating in the tracker whatever the state, also while no server is
// set. Loop thread only.

#include "base/plat/Timer.h"
#include "base/rfb/SimpleUpdateTracker.h"

namespace svr {

class SServer;

class UpdateScheduler : public rfb::SimpleUpdateTracker, private plat::Timer::Callback {
public:
  class Callback {
  public:
    virtual ~Callback() = default;
    // Called just before an update is taken, so that capture work still held
    // (damage not yet fetched, say) can be added to it.
    virtual void prepareUpdate() = 0;
  };

  // `callback` is not owned and must outlive the scheduler.
  explicit UpdateScheduler(Callback& callback);
  ~UpdateScheduler() override;
  UpdateScheduler(const UpdateScheduler&) = delete;
  UpdateScheduler& operator=(const UpdateScheduler&) = delete;

  // Changes were added: starts a batch unless one is already running.
  void changesAdded();
  // The server asked for an update: delivers one if a batch is ready and the
  // period since the previous update has passed.
  void requestUpdate();
  // Delivers the accumulated update when a batch is ready, no period is
  // running and the server has an outstanding request; otherwise does
  // nothing. A plat::Exception from the delivery is logged, and the regions
  // of the failed update are ready to go again at the end of the period or
  // at the next request.
  void tryUpdate();

  // Where updates go (not owned); null while the desktop is stopped, which
  // holds every update back.
  void setServer(SServer* server) { server_ = server; }
  SServer* getServer() const { return server_; }

  bool isPending() const { return pending_; }
  bool isBatching() const { return batchTimer_.isRunning(); }
  bool isPeriodRunning() const { return periodTimer_.isRunning(); }

private:
  bool timerFired(plat::Timer& timer) override;
  void deliver();

  Callback& callback_;
  plat::Timer periodTimer_;
  plat::Timer batchTimer_;
  SServer* server_ = nullptr;
  bool pending_ = false;
};

} // namespace svr
