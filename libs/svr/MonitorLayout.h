#pragma once

// How monitors are named and where they are. With RandR usable
// (svr::RandrSupport), the CRTCs that drive at least one output are the
// monitors, numbered from 1 in the order the screen resources list them;
// without it the whole screen is monitor 1. A monitor spec is one of:
//   - empty or absent: the whole screen;
//   - a rectangle, "x1,y1 to x2,y2" or "WxH at X,Y" (signed 32-bit decimals);
//   - a monitor number ("2") or an output name in any letter case
//     ("DUMMY1"), only with RandR.

#include "libs/svr/MonitorInfo.h"
#include "libs/svr/RandrScreen.h"

#include "base/rfb/Rect.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace svr {

class MonitorLayout {
public:
  MonitorLayout() = delete;

  // The area to capture for `spec`; the empty rectangle means the whole
  // screen. A number or name that matches nothing logs "Bad Monitor param:
  // %s" (level 100) and gives the empty rectangle.
  static rfb::Rect rectOf(const std::optional<std::string>& spec);

  // Either rectangle text, or none. Nothing may follow the last number, and
  // a rectangle whose corner overflows 32 bits is none.
  static std::optional<rfb::Rect> parseRect(std::string_view text);

  // The CRTC for a monitor number (the whole text digits) or output name.
  // Walks the active CRTCs in resource order, counting them; a CRTC whose
  // count equals the number or one of whose outputs has the name wins, so an
  // earlier CRTC matched by name beats a later one matched by number.
  // Throws plat::Exception "Monitor named '%s' not found".
  static RandrScreen::Monitor lookupMonitor(const std::string& spec);

  // The monitors in number order: names "1", "2", ...; only the first is
  // primary; depth is the default screen's root depth. Throws
  // plat::Exception when RandR is usable but its functions are not.
  static std::vector<MonitorInfo> listMonitors();
};

} // namespace svr
