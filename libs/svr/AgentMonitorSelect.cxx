#include "libs/svr/AgentMonitorSelect.h"

#include "libs/svr/MsgSender.h"

#include "base/plat/LogSrc.h"
#include "base/rdr/BlockException.h"
#include "base/rdr/FramedInStream.h"
#include "base/rdr/OutStream.h"

#include <algorithm>

namespace svr {

namespace {

plat::LogSrc vlog("AgentMonitorSelect");

std::string_view textOrEmpty(const std::optional<std::string>& text) {
  return text ? std::string_view(*text) : std::string_view();
}

} // namespace

AgentMonitorSelect::AgentMonitorSelect(io::MsgIpc& channel, MonitorSelectCallback& callback)
  : channel_(channel), callback_(callback) {
  channel_.registerReader(std::string(setMonitorMsg), *this);
}

bool AgentMonitorSelect::readMsg(const std::string&, rdr::FramedInStream& in, io::MsgIpc&) {
  std::string text;
  try {
    text = in.readShortString();
  } catch (const rdr::BlockException&) {
    return false;
  }
  std::optional<std::string> spec;
  if (!text.empty())
    spec = std::move(text);
  callback_.setMonitor(spec);
  return true;
}

void AgentMonitorSelect::monitorsUpdated(const std::vector<MonitorInfo>& monitors,
                                         const std::optional<std::string>& parameterSpec,
                                         const std::optional<std::string>& effectiveSpec) {
  // The count and the records sent must agree, or the server would read
  // the specs from the middle of a record.
  size_t count = std::min(monitors.size(), maxMonitors);
  MsgSender::send(
    channel_, "monitorsUpdated",
    [&](rdr::OutStream& out) {
      out.writeU8(uint8_t(count));
      for (size_t i = 0; i < count; i++)
        monitors[i].write(out);
      out.writeShortString(textOrEmpty(parameterSpec));
      out.writeShortString(textOrEmpty(effectiveSpec));
    },
    vlog);
}

} // namespace svr
