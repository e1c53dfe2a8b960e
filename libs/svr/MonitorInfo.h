#pragma once

// One monitor as reported to the server in "monitorsUpdated". On the wire,
// in this order: U8 primary (1 or 0), U8 flagA, U8 0, U8 flagB, U32 depth,
// S32 x1, y1, x2, y2, then three short strings: name, label (empty when
// absent) and an empty one; 24 bytes before the strings.

#include "base/rfb/Rect.h"

#include <cstdint>
#include <optional>
#include <string>

namespace rdr {
class OutStream;
}

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

  // Texts longer than 255 bytes are cut to their first 255.
  void write(rdr::OutStream& out) const;

  bool operator==(const MonitorInfo& other) const = default;
};

} // namespace svr
