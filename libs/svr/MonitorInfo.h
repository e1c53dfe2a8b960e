#pragma once

// One monitor as reported to the server in "monitorsUpdated" (see
// agentmsg::MonitorInfo for the wire form; an absent label goes as an empty
// one, texts longer than 255 bytes are cut to their first 255).

#include "base/rfb/Rect.h"

#include <cstdint>
#include <optional>
#include <string>

namespace svr {

struct MonitorInfo {
  bool primary = false;
  uint8_t flagA = 0;
  uint8_t flagB = 1;
  uint32_t depth = 0;
  rfb::Rect rect;
  // The monitor's number in decimal ("1", "2", ...).
  std::string name;
  std::optional<std::string> label;

  bool operator==(const MonitorInfo& other) const = default;
};

} // namespace svr
