#pragma once

// The screen areas that monitors show: the rectangles of the RandR CRTCs
// that drive at least one output, in the order the screen resources list
// them. Parts of the root window outside every one of them are never seen
// by anybody, so capture can skip them.

#include "uilibs/tx/XTypes.h"

#include "base/rfb/Rect.h"
#include "base/rfb/Region.h"

#include <vector>

namespace svr {

class ActiveCrtcs {
public:
  ActiveCrtcs() = delete;

  // The rectangles of the active CRTCs of `root`'s screen. Throws
  // plat::Exception when RandR cannot be asked (library functions missing,
  // an X error, no screen resources).
  static std::vector<rfb::Rect> rects(Display* dpy, Window root);
  // Their union.
  static rfb::Region region(Display* dpy, Window root);
};

} // namespace svr
