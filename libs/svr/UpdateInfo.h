#pragma once

// One framebuffer update as the update scheduler hands it to the server side:
// pixels copied within the framebuffer plus pixels that changed. `copied` is
// the destination area of the copy; its source is `copied` translated by
// -offset (destination = source + offset). Either region may be empty.

#include "base/rfb/Point.h"
#include "base/rfb/Region.h"

namespace svr {

struct UpdateInfo {
  rfb::Region copied;
  rfb::Point offset;
  rfb::Region changed;

  bool isEmpty() const { return copied.isEmpty() && changed.isEmpty(); }
};

} // namespace svr
