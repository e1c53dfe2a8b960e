#pragma once

// The capture engine (svr::SDesktopX11) started on the process's display
// with a server end that grabs what each update names, as the protocol end
// does, but sends nothing; and the agent's loop in two halves. The bench
// process thus stands for the agent without its channel. Stopped when it
// goes.

#include "base/plat/TimerManager.h"
#include "base/rfb/Region.h"
#include "libs/svr/SDesktopX11.h"
#include "libs/svr/SServer.h"

#include <chrono>

namespace benchsupport {

class CaptureEngine {
public:
  // The server end: grabs the named pixels, counts the updates.
  class CountingServer : public svr::SServer {
  public:
    void setPixelBuffer(rfb::PixelBuffer* pb) override;
    void setColourMapEntries(int, int) override {}
    void serverCutText(std::string_view) override {}
    void bell() override {}
    bool isUpdateRequested() override { return requested; }
    void desktopFailure(const plat::Exception&) override {}
    void closeClients(const svr::CloseReason&) override {}
    void fbUpdate(const svr::UpdateInfo& update) override;
    void setCursorImage(const rfb::Cursor*) override {}
    void setCursorPos(const rfb::Point&) override {}
    void localInput() override {}
    void setBlankRegion(const rfb::Region&) override {}

    rfb::PixelBuffer* buffer = nullptr;
    rfb::Region lastChanged;
    bool requested = false;
    long updates = 0;
  };

  // Sets "CaptureMethod" to `method` and "PollInterval" to `pollInterval`,
  // with updates never held back by period or batching, then starts the
  // engine. The display must be open.
  CaptureEngine(const char* method, const char* pollInterval);
  ~CaptureEngine();
  CaptureEngine(const CaptureEngine&) = delete;
  CaptureEngine& operator=(const CaptureEngine&) = delete;

  // Runs the loop until the server has one more update.
  void waitForUpdate();
  // Runs updates until they have named all of `wanted`; how many it took.
  long waitUntilNamed(const rfb::Region& wanted);
  // Runs the loop for `span`, answering each update and asking for the
  // next at once, as a client that is always waiting would.
  void serveFor(std::chrono::milliseconds span);

  // The agent's loop: handle the X events and timers that are due; then
  // wait at most `maxWaitMs` for the next X event or timer.
  static void dispatchDue();
  static void waitForWork(int maxWaitMs);

  // utime + stime of this process, from the clock (the /proc ticks are too
  // coarse for a fraction of a percent over a second).
  static double cpuSeconds();

  svr::SDesktopX11& desktop() { return desktop_; }
  CountingServer& server() { return server_; }

private:
  class App : public svr::SDesktopX11::Callback {
    void monitorsUpdated(const std::vector<svr::MonitorInfo>&, const std::optional<std::string>&,
                         const std::optional<std::string>&) override {}
    void setClipboardText(std::string_view) override {}
    void captureBroken(bool) override {}
    const ipc_perm* getShmPerm() override { return nullptr; }
  };

  struct Settings {
    Settings(const char* method, const char* pollInterval);
  };

  Settings settings_;
  plat::TimerManager timers_;
  App app_;
  CountingServer server_;
  svr::SDesktopX11 desktop_{app_};
};

} // namespace benchsupport
