#pragma once

// What the monitor-selection messages ask of the capture engine.

#include <optional>
#include <string>

namespace svr {

class MonitorSelectCallback {
public:
  // The server chose a monitor by number or output name; absent clears the
  // choice. Invalid choices are logged and ignored by the implementer.
  virtual void setMonitor(const std::optional<std::string>& spec) = 0;

protected:
  ~MonitorSelectCallback() = default;
};

} // namespace svr
