#pragma once

// The descriptor manager realised over select(). Descriptors of 1024 or more
// cannot be put in an fd_set; they are never waited on, and their handlers
// run only for requested passes.

#include "base/io/FdManager.h"
#include "base/io/HandlerSet.h"

#include <sys/select.h>

namespace io {

class FdSelectManager : public FdManager {
public:
  FdSelectManager() = default;

  // The process-wide instance used by the application loop: built on first
  // use (it becomes the calling thread's current manager), destroyed at exit.
  static FdSelectManager& instance();

  bool processEvents(int timeoutMs) override;

  // The wait limit of one pass: the earlier of the requested timeout and the
  // next timer (-1 meaning none), plus 1 ms when above 0 and below INT_MAX so
  // that the wake-up finds the timer due instead of spinning on zero waits.
  struct WaitLimit {
    int ms;        // -1: no limit
    bool byTimer;  // the timer, not the request, set the limit
  };
  static WaitLimit waitLimit(int requestedMs, int timerMs);

protected:
  bool setEventsImpl(FdHandler& handler, bool read, bool write, bool except) override;

  // The wait itself; a seam so that tests can see the limit that was chosen
  // (timeout null means none) without timing the call.
  virtual int waitForEvents(int nfds, fd_set* read, fd_set* write, fd_set* except,
                            timeval* timeout);

private:
  static constexpr int maxSelectFd = FD_SETSIZE;

  int fillSet(const HandlerSet& interest, fd_set& set) const;

  HandlerSet readInterest_;
  HandlerSet writeInterest_;
  HandlerSet exceptInterest_;
};

} // namespace io
