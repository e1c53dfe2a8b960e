#pragma once

// The server proxy: owns the protocol end and ties it to the rest of the
// agent. It quits the application when the server goes away and, once the
// clipboard bridge exists, switches clipboard watching with the desktop's
// running state.
//
// As root, with the display open, it also owns the desktop-user monitor and
// reports the desktop's user to the server.
//
// Still to come: the clipboard bridge (svr::SClipboardX11, built before the
// protocol end when the display is open, and reached from desktopRunning and
// serverCutText). Until then the agent has no clipboard.

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

class AgentServerX11 : private SServerAgent::Callback, private tx::DesktopUidMonitor::Callback {
public:
  // `desktop` is not owned and must outlive this object. The connection is
  // accepted at once, which sends the greeting.
  AgentServerX11(SDesktop& desktop, bool isRoot, std::unique_ptr<io::Io> io);
  // Stops the desktop if it was started.
  ~AgentServerX11();
  AgentServerX11(const AgentServerX11&) = delete;
  AgentServerX11& operator=(const AgentServerX11&) = delete;

  SServerAgent& server() { return server_; }
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
  // tx::DesktopUidMonitor::Callback
  void desktopUidChanged(uint32_t uid, const std::optional<std::string>& xauthFile) override;

  SDesktop& desktop_;
  bool isRoot_;
  bool clipboardWanted_ = false;
  bool disconnectedEarly_ = false;
  SServerAgent server_;
  // After server_, so that it is destroyed first.
  std::unique_ptr<tx::DesktopUidMonitor> desktopUidMonitor_;
};

} // namespace svr
