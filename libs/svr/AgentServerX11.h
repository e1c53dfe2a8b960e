#pragma once

// The server proxy: owns the protocol end and ties it to the rest of the
// agent. It quits the application when the server goes away and, once the
// clipboard bridge exists, switches clipboard watching with the desktop's
// running state.
//
// With the display open it owns the clipboard bridge, which watches the
// desktop's clipboard while the desktop is serving and "EnableClipboard" is
// set; as root it also owns the desktop-user monitor and reports the
// desktop's user to the server.

#include "libs/svr/SClipboardX11.h"
#include "libs/svr/SServerAgent.h"
#include "uilibs/tx/DesktopUidMonitor.h"

#include <memory>
#include <optional>
#include <string>

namespace io {
class Io;
class MsgIpc;
} // namespace io

namespace svr {

class SDesktop;

class AgentServerX11 : private SServerAgent::Callback,
                       private SClipboardX11::Callback,
                       private tx::DesktopUidMonitor::Callback {
public:
  // `desktop` is not owned and must outlive this object. The connection is
  // accepted at once, which sends the greeting.
  AgentServerX11(SDesktop& desktop, bool isRoot, std::unique_ptr<io::Io> io);
  // Stops the desktop if it was started.
  ~AgentServerX11();
  AgentServerX11(const AgentServerX11&) = delete;
  AgentServerX11& operator=(const AgentServerX11&) = delete;

  SServerAgent& server() { return server_; }
  // The clipboard bridge; null without a display.
  SClipboardX11* clipboard() { return clipboard_.get(); }
  io::MsgIpc& channel() { return server_.channel(); }
  // Whether clipboard watching is wanted now (desktop running and
  // "EnableClipboard" set).
  bool clipboardWanted() const { return clipboardWanted_; }
  // The server went away before the application loop was running, so the
  // loop could not be told; the caller must not start it.
  bool disconnectedEarly() const { return disconnectedEarly_; }

private:
  // SServerAgent::Callback
  void desktopRunning(SServerAgent& server, bool running) override;
  void serverDisconnected(SServerAgent& server) override;
  // SClipboardX11::Callback
  void serverCutText(std::string_view text) override;
  // tx::DesktopUidMonitor::Callback
  void desktopUidChanged(uint32_t uid, const std::optional<std::string>& xauthFile) override;

  SDesktop& desktop_;
  bool isRoot_;
  bool clipboardWanted_ = false;
  bool disconnectedEarly_ = false;
  // Before server_, so that the protocol end goes first on destruction.
  std::unique_ptr<SClipboardX11> clipboard_;
  SServerAgent server_;
  // After server_, so that it is destroyed first.
  std::unique_ptr<tx::DesktopUidMonitor> desktopUidMonitor_;
};

} // namespace svr
