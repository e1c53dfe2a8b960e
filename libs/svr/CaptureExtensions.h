#pragma once

// The X extensions screen capture depends on, asked once when the desktop
// is built and kept as flags: RandR (monitor layout), XTEST (input and
// capture while the server is grabbed), XFIXES (cursor images and the
// regions damage is fetched through) and DAMAGE (changed areas without
// polling). Each absence is logged once and has a fallback: no XFIXES -> no
// cursor tracking and no damage; no DAMAGE -> polling.

#include "uilibs/tx/XTypes.h"

namespace plat {
class LogSrc;
}

namespace svr {

struct CaptureExtensions {
  struct Extension {
    bool present = false;
    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
  };

  // Queries the extensions on `dpy` (null: none present) and logs what was
  // found to `log`. With `useXFixes` false XFIXES counts as absent, and with
  // it DAMAGE, whose areas are only fetched through XFIXES regions.
  static CaptureExtensions discover(Display* dpy, plat::LogSrc& log, bool useXFixes);

  bool randr = false;
  bool xtest = false;
  Extension xfixes;
  Extension xdamage;
};

} // namespace svr
