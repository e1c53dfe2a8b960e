#include "uilibs/ui/AppLoop.h"

#include "uilibs/ui/AppLoopImpl.h"

namespace ui {

AppLoop::AppLoop() : os::AppLoop(std::make_unique<AppLoopImpl>()) {}

} // namespace ui
