// The per-display agent: launched by the server with a mode word, a pipe
// name and parameter settings; never started by hand.

#include "base/io/Io.h"
#include "base/os/SignalHandler.h"
#include "base/os/SignalHandlerApp.h"
#include "base/plat/Exception.h"
#include "base/plat/LogSrc.h"
#include "base/plat/VersionInfo.h"
#include "libs/svr/AgentAppX11.h"
#include "libs/svr/initAgent.h"
#include "uilibs/ui/AppLoop.h"

#include <csignal>
#include <cstdio>
#include <memory>

namespace {

plat::LogSrc programLog("kwoagent-x11");

// SIGINT and SIGTERM quit the loop for as long as this lives.
class QuitOnSignals {
public:
  QuitOnSignals() : handler_(&programLog) {
    os::SignalHandler::instance().setCallback(SIGINT, handler_, true);
    os::SignalHandler::instance().setCallback(SIGTERM, handler_, true);
  }
  ~QuitOnSignals() {
    os::SignalHandler::instance().setCallback(SIGTERM, handler_, false);
    os::SignalHandler::instance().setCallback(SIGINT, handler_, false);
  }
  QuitOnSignals(const QuitOnSignals&) = delete;
  QuitOnSignals& operator=(const QuitOnSignals&) = delete;

private:
  os::SignalHandlerApp handler_;
};

// Everything start-up builds, torn down in the one documented order
// whichever way main leaves.
struct Agent {
  // The launcher's connection was made; failures before that are already on
  // standard error.
  bool connected = false;
  std::unique_ptr<io::Io> io;
  std::unique_ptr<ui::AppLoop> loop;
  std::unique_ptr<QuitOnSignals> signals;
  std::unique_ptr<svr::AgentAppX11> app;

  ~Agent() { tearDown(); }
  void tearDown() {
    app.reset();
    signals.reset();
    loop.reset();
    io.reset();
  }
};

int runAgent(Agent& agent, int argc, char** argv) {
  agent.io = svr::initAgent(argc, argv);
  agent.connected = true;
  // Opens the display, which every component below needs.
  agent.loop = std::make_unique<ui::AppLoop>();
  agent.signals = std::make_unique<QuitOnSignals>();
  agent.app = std::make_unique<svr::AgentAppX11>(std::move(agent.io));
  if (agent.app->serverGone())
    return 0;
  return agent.loop->run();
}

} // namespace

int main(int argc, char** argv) {
  plat::VersionInfo::record(KWO_VERSION_MAJOR, KWO_VERSION_MINOR, KWO_VERSION_PATCH,
                            KWO_REVISION);
  Agent agent;
  try {
    int status = runAgent(agent, argc, argv);
    agent.tearDown();
    return status;
  } catch (const plat::Exception& e) {
    // Logged before the teardown, which sends the lines still queued for
    // the server as it lets go of the channel. Standard error keeps the
    // text where no server is listening.
    programLog.error("%s", e.str());
    if (agent.connected)
      std::fprintf(stderr, "%s\n", e.str());
    agent.tearDown();
    return 1;
  }
}
