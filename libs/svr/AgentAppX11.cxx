#include "libs/svr/AgentAppX11.h"

#include "base/io/Io.h"
#include "base/plat/LogSrc.h"
#include "libs/agentmsg/FromAgentMsgs.h"
#include "libs/svr/MsgSender.h"

#include <unistd.h>

namespace svr {

namespace {

plat::LogSrc vlog("AgentAppX11");

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
  MsgSender::send(server_.channel(), agentmsg::CaptureBroken{broken}, vlog);
}

const ipc_perm* AgentAppX11::getShmPerm() {
  return shmPerm_.perm();
}

} // namespace svr
