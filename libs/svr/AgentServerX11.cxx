#include "libs/svr/AgentServerX11.h"

#include "base/io/Io.h"
#include "base/os/AppLoop.h"
#include "base/plat/BoolParameter.h"
#include "base/plat/Exception.h"
#include "base/plat/LogSrc.h"
#include "uilibs/tx/TXUtil.h"

namespace svr {

namespace {

plat::LogSrc vlog("AgentServerX11");

plat::BoolParameter enableClipboard("EnableClipboard", "Enable clipboard monitoring in agent",
                                    false);

} // namespace

AgentServerX11::AgentServerX11(SDesktop& desktop, bool isRoot, std::unique_ptr<io::Io> io)
  : desktop_(desktop), isRoot_(isRoot),
    clipboard_(tx::display() ? std::make_unique<SClipboardX11>(
                                 static_cast<SClipboardX11::Callback&>(*this))
                             : nullptr),
    server_(*this, desktop) {
  server_.accept(std::move(io));
  if (isRoot_ && tx::display())
    desktopUidMonitor_ = std::make_unique<tx::DesktopUidMonitor>(
        static_cast<tx::DesktopUidMonitor::Callback&>(*this));
}

AgentServerX11::~AgentServerX11() = default;

void AgentServerX11::desktopRunning(SServerAgent&, bool running) {
  clipboardWanted_ = running && enableClipboard;
  if (clipboard_)
    clipboard_->setMonitoring(clipboardWanted_);
}

void AgentServerX11::serverCutText(std::string_view text) {
  server_.serverCutText(text);
}

void AgentServerX11::serverDisconnected(SServerAgent&) {
  vlog.status("Quitting on server disconnect");
  os::AppLoop* loop = os::AppLoop::instance();
  if (loop && loop->isRunning()) {
    os::AppLoop::quit(0);
    return;
  }
  disconnectedEarly_ = true;
}

void AgentServerX11::desktopUidChanged(uint32_t uid, const std::optional<std::string>& xauthFile) {
  try {
    server_.desktopUidChanged(uid, xauthFile.value_or(""));
  } catch (const plat::Exception& e) {
    vlog.status("%s", e.str());
  }
}

} // namespace svr
