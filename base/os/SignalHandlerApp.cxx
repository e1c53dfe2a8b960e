#include "base/os/SignalHandlerApp.h"

#include "base/os/AppLoop.h"
#include "base/plat/LogSrc.h"

#include <string>

namespace os {

void SignalHandlerApp::handleSignal(int signal) {
  if (log_) {
    const char* name = SignalHandler::signalName(signal);
    // Numbers outside the table have no name; print the number instead of
    // handing a null text to the formatter.
    std::string shown = name ? name : std::to_string(signal);
    log_->status("Got signal %s", shown.c_str());
  }
  AppLoop::quit(0);
}

} // namespace os
