#pragma once

// The application's reaction to SIGINT and SIGTERM: log the signal (when a
// log source is given) and quit the application loop with exit code 0.

#include "base/os/SignalHandler.h"

namespace plat {
class LogSrc;
}

namespace os {

class SignalHandlerApp : public SignalHandler::Callback {
public:
  // `log` is not owned; null logs nothing.
  explicit SignalHandlerApp(plat::LogSrc* log = nullptr) : log_(log) {}

  // Logs "Got signal <name>" at level 30, then AppLoop::quit(0). There must
  // be a running loop.
  void handleSignal(int signal) override;

private:
  plat::LogSrc* log_;
};

} // namespace os
