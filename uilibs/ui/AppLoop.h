#pragma once

// The application loop of the X agent: an os::AppLoop over a ui::AppLoopImpl.
// Constructing it opens the process's X display connection ($DISPLAY), so
// the display is open before any component that needs it is built.

#include "base/os/AppLoop.h"

namespace ui {

class AppLoop : public os::AppLoop {
public:
  // Throws plat::Exception when the display cannot be opened.
  AppLoop();
};

} // namespace ui
