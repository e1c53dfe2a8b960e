#pragma once

// Where the capture engine reports the monitors after every rebuild of its
// screen buffer (the agent application forwards it to AgentMonitorSelect).

#include "libs/svr/MonitorInfo.h"

#include <optional>
#include <string>
#include <vector>

namespace svr {

class MonitorSelectResponse {
public:
  // `monitors` in monitor-number order. `parameterSpec` is the "Monitor"
  // parameter when it is in effect, `effectiveSpec` the selection whose area is
  // captured (the parameter's or the server's selection); absent when the
  // whole screen is captured.
  virtual void monitorsUpdated(const std::vector<MonitorInfo>& monitors,
                               const std::optional<std::string>& parameterSpec,
                               const std::optional<std::string>& effectiveSpec) = 0;

protected:
  ~MonitorSelectResponse() = default;
};

} // namespace svr
