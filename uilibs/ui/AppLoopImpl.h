#pragma once

// The loop of the X agent: the default loop, and before every wait it reads
// and dispatches every X event the connection has (the socket's readability
// only ends the wait). Constructing it opens the process's X connection.

#include "base/os/AppLoopImpl.h"

#include <memory>

namespace tx {
class TXDisplayManager;
}

namespace ui {

class AppLoopImpl : public os::AppLoopImpl {
public:
  // Over the process-wide io::FdSelectManager. Throws plat::Exception when
  // the display cannot be opened.
  AppLoopImpl();
  ~AppLoopImpl() override;

  // Returns at once when a stop is already pending.
  int run() override;

private:
  // Hands every event Xlib has or can read now to the toolkit's dispatcher.
  void dispatchXEvents();

  std::unique_ptr<tx::TXDisplayManager> displayManager_;
};

} // namespace ui
