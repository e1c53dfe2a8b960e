#pragma once

// Whether the X server offers XTEST, asked once per process: the desktop,
// the keyboard and the pointer all need the answer and the first of them to
// ask pays for the round trip. On first success the connection is also
// exempted from server grabs (XTestGrabControl), so that capture and input
// keep working while another client grabs the server.

#include "uilibs/tx/XTypes.h"

#include <mutex>

namespace svr {

class XTestExtension {
public:
  struct Version {
    bool present = false;
    int major = 0;
    int minor = 0;
  };

  XTestExtension() = delete;

  // The answer for `dpy`, queried on the first call; later calls (whatever
  // display they name) get the stored answer.
  static const Version& query(Display* dpy);
  // Whether query() has run.
  static bool queried();
};

} // namespace svr
