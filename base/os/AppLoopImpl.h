#pragma once

// The default loop: passes of the descriptor manager without a time limit,
// until stopped.

#include "base/os/AppLoop.h"

namespace io {
class FdManager;
}

namespace os {

class AppLoopImpl : public AppLoop::Impl {
public:
  // Over the process-wide io::FdSelectManager (built now if it is not yet).
  AppLoopImpl();
  // Over `manager` (not owned; it must outlive the loop and be current on
  // the thread that runs it).
  explicit AppLoopImpl(io::FdManager& manager);

  int run() override;
  void stop() override;

protected:
  io::FdManager& manager() { return manager_; }
  bool stopPending() const { return stop_; }
  void clearStop() { stop_ = false; }

private:
  io::FdManager& manager_;
  bool stop_ = false;
};

} // namespace os
