#include "libs/svr/AgentMonitorSelect.h"

#include "libs/svr/MsgSender.h"

#include "libs/agentmsg/FromAgentMsgs.h"
#include "libs/agentmsg/ParseState.h"
#include "libs/agentmsg/ToAgentMsgs.h"

#include "base/plat/LogSrc.h"
#include "base/rdr/BlockException.h"
#include "base/rdr/FramedInStream.h"

#include <algorithm>

namespace svr {

namespace {

plat::LogSrc vlog("AgentMonitorSelect");

} // namespace

AgentMonitorSelect::AgentMonitorSelect(io::MsgIpc& channel, MonitorSelectCallback& callback)
  : channel_(channel), callback_(callback) {
  channel_.registerReader(agentmsg::SetMonitor::name, *this);
}

bool AgentMonitorSelect::readMsg(const std::string&, rdr::FramedInStream& in, io::MsgIpc&) {
  agentmsg::SetMonitor msg;
  try {
    msg = agentmsg::readFixed<agentmsg::SetMonitor>(in);
  } catch (const rdr::BlockException&) {
    return false;
  }
  std::optional<std::string> spec;
  if (!msg.spec.empty())
    spec = std::move(msg.spec);
  callback_.setMonitor(spec);
  return true;
}

void AgentMonitorSelect::monitorsUpdated(const std::vector<MonitorInfo>& monitors,
                                         const std::optional<std::string>& parameterSpec,
                                         const std::optional<std::string>& effectiveSpec) {
  agentmsg::MonitorsUpdated msg;
  // The count is one byte: the records sent must agree with it.
  size_t count = std::min(monitors.size(), maxMonitors);
  msg.monitors.assign(monitors.begin(), monitors.begin() + count);
  msg.parameterSpec = parameterSpec.value_or("");
  msg.effectiveSpec = effectiveSpec.value_or("");
  MsgSender::send(channel_, msg, vlog);
}

} // namespace svr
