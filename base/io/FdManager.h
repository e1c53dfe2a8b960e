#pragma once

// The descriptor manager of one thread: waits on registered descriptors and
// on the thread's timers, then calls the handlers that are ready. A back end
// (io::FdSelectManager) does the waiting; this class keeps the registrations
// and runs the dispatch.
//
// Invariants: every handler in a pending or dispatch set is registered; a
// handler is called at most once per kind per pass, and only while it is
// still in the dispatch set of that kind (removal or cleared interest takes
// it out). Managers nest per thread: the newest is current, and it owns the
// thread's current timer manager, so the thread's timers live in the
// innermost manager.

#include "base/io/HandlerSet.h"
#include "base/plat/Timer.h"
#include "base/plat/TimerManager.h"

#include <memory>

namespace io {

class FdHandler;

class FdManager : private plat::Timer::Callback {
public:
  // Becomes the calling thread's current manager.
  FdManager();
  // Tells every still-registered handler `fdManagerGone` (one at a time, each
  // taken out first), then restores the previous current manager. Must be
  // destroyed on its thread, innermost first.
  ~FdManager() override;
  FdManager(const FdManager&) = delete;
  FdManager& operator=(const FdManager&) = delete;

  // The calling thread's current manager, or null.
  static FdManager* current();

  // Registration does not set interest: callers set it with setEvents, and
  // clear it (setEvents with all false) before removing.
  void addHandler(FdHandler& handler);
  // Also forgets any pending or in-progress dispatch of the handler.
  void removeHandler(FdHandler& handler);
  bool isRegistered(const FdHandler& handler) const { return handlers_.contains(handler); }

  // Sets the kinds of readiness the back end waits for. Clearing read (and
  // except) drops a pending or in-progress read dispatch; clearing write drops
  // a write dispatch.
  bool setEvents(FdHandler& handler, bool read, bool write, bool except = false);

  // Asks for a handleRead / handleWrite in the next pass, whatever the
  // descriptor's state; the wait before that pass does not block.
  void requestRead(FdHandler& handler);
  void requestWrite(FdHandler& handler);

  // Makes the next wait return at once.
  void startDispatchTimer();

  plat::TimerManager& timerManager() { return timers_; }

  // One wait-and-dispatch pass; timeoutMs -1 means no limit. Returns true
  // when descriptors were ready or a timer determined the wait.
  virtual bool processEvents(int timeoutMs) = 0;

protected:
  // The back end's interest update. The base keeps no interest.
  virtual bool setEventsImpl(FdHandler& handler, bool read, bool write, bool except);

  const HandlerSet& handlers() const { return handlers_; }
  void markReadable(FdHandler& handler) { pendingRead_.insert(handler); }
  void markWritable(FdHandler& handler) { pendingWrite_.insert(handler); }

  // Fires due timers, then calls handleRead on every pending reader and
  // handleWrite on every pending writer. Requests made meanwhile wait for the
  // next pass.
  void dispatch();

private:
  bool timerFired(plat::Timer& timer) override;

  HandlerSet handlers_;
  HandlerSet pendingRead_;
  HandlerSet pendingWrite_;
  HandlerSet dispatchRead_;
  HandlerSet dispatchWrite_;
  plat::TimerManager timers_;
  plat::Timer dispatchTimer_;
  FdManager* previous_;
};

} // namespace io
