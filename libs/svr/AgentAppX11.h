#pragma once

// The agent application: owns every agent component, built in this order
// and destroyed in reverse: the desktop, the server proxy (which greets the
// server on the connection it is given), the reader of the shared-memory
// owner, the display-mode component, the monitor-selection component.
//
// Built once, on the stack of main, after the application loop (and so the
// X display) exists.

#include "libs/svr/AgentDisplayMode.h"
#include "libs/svr/AgentMonitorSelect.h"
#include "libs/svr/AgentServerX11.h"
#include "libs/svr/AgentShmPermGetter.h"
#include "libs/svr/SDesktopX11.h"

#include <memory>
#include <string_view>

namespace io {
class Io;
}

namespace svr {

class AgentAppX11 : private SDesktopX11::Callback {
public:
  // Takes over the connection to the server.
  explicit AgentAppX11(std::unique_ptr<io::Io> io);
  ~AgentAppX11() override;
  AgentAppX11(const AgentAppX11&) = delete;
  AgentAppX11& operator=(const AgentAppX11&) = delete;

  // The server went away while the application was being built; there is
  // nothing to run the loop for.
  bool serverGone() const { return server_.disconnectedEarly(); }

private:
  // SDesktopX11::Callback
  void monitorsUpdated(const std::vector<MonitorInfo>& monitors,
                       const std::optional<std::string>& parameterSpec,
                       const std::optional<std::string>& effectiveSpec) override;
  void setClipboardText(std::string_view text) override;
  void captureBroken(bool broken) override;
  const ipc_perm* getShmPerm() override;

  SDesktopX11 desktop_;
  AgentServerX11 server_;
  AgentShmPermGetter shmPerm_;
  AgentDisplayMode displayMode_;
  AgentMonitorSelect monitorSelect_;
};

} // namespace svr
