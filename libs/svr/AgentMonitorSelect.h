#pragma once

// The monitor messages on the channel to the server: reads "setMonitor"
// (short string spec; empty means no selection) for the capture engine, and
// sends "monitorsUpdated": U8 count, the monitor records (MonitorInfo),
// short string parameterSpec, short string effectiveSpec (absent texts as
// empty ones). Sending failures are logged (level 30) and dropped. Log
// source "AgentMonitorSelect".

#include "libs/svr/MonitorSelectCallback.h"
#include "libs/svr/MonitorSelectResponse.h"

#include "base/io/MsgIpc.h"

namespace svr {

class AgentMonitorSelect : public io::MsgIpc::Reader, public MonitorSelectResponse {
public:
  // The count is one byte: a longer list is cut to its first 255 monitors.
  static constexpr size_t maxMonitors = 255;

  // Registers for "setMonitor" on `channel`; both references (not owned)
  // must outlive this object. The base class unregisters on destruction.
  AgentMonitorSelect(io::MsgIpc& channel, MonitorSelectCallback& callback);

  bool readMsg(const std::string& name, rdr::FramedInStream& in, io::MsgIpc& channel) override;

  void monitorsUpdated(const std::vector<MonitorInfo>& monitors,
                       const std::optional<std::string>& parameterSpec,
                       const std::optional<std::string>& effectiveSpec) override;

private:
  io::MsgIpc& channel_;
  MonitorSelectCallback& callback_;
};

} // namespace svr
