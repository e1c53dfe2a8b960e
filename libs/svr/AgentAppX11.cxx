#include "libs/svr/AgentAppX11.h"

#include "base/io/Io.h"
#include "base/plat/Exception.h"
#include "base/plat/LogSrc.h"
#include "base/rdr/FramedOutStream.h"

#include <unistd.h>

namespace svr {

namespace {

plat::LogSrc vlog("AgentAppX11");

// Ends a message that failed half-way, so that the next one starts clean.
void abandon(rdr::FramedOutStream* out) {
  if (!out || !out->inMsg())
    return;
  try {
    out->abandonMsg();
  } catch (const plat::Exception& e) {
    vlog.status("%s", e.str());
  }
}

} // namespace

AgentAppX11::AgentAppX11(std::unique_ptr<io::Io> io)
  : desktop_(*this), server_(desktop_, ::getuid() == 0, std::move(io)),
    shmPerm_(server_.channel()), displayMode_(server_.channel(), desktop_),
    monitorSelect_(server_.channel(), desktop_) {}

AgentAppX11::~AgentAppX11() = default;

void AgentAppX11::monitorsUpdated(const std::vector<MonitorInfo>& monitors,
                                  const std::optional<std::string>& parameterSpec,
                                  const std::optional<std::string>& effectiveSpec) {
  monitorSelect_.monitorsUpdated(monitors, parameterSpec, effectiveSpec);
}

void AgentAppX11::setClipboardText(std::string_view text) {
  if (SClipboardX11* clipboard = server_.clipboard())
    clipboard->setCutText(text);
}

void AgentAppX11::captureBroken(bool broken) {
  rdr::FramedOutStream* out = nullptr;
  try {
    out = &server_.channel().writeMsg("captureBroken");
    out->writeU8(broken ? 1 : 0);
    out->endMsg(true);
  } catch (const plat::Exception& e) {
    vlog.status("%s", e.str());
    abandon(out);
  }
}

const ipc_perm* AgentAppX11::getShmPerm() {
  return shmPerm_.perm();
}

} // namespace svr
