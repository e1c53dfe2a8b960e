#pragma once

// Whether the X server offers the XTEST extension, through which every
// synthetic key and pointer event is injected. The extension is queried
// once per process, by whichever component needs it first (the desktop, the
// keyboard or the pointer injector), and the answer is shared by all of
// them. On the first success the connection is also exempted from server
// grabs (XTestGrabControl), so that capture and input keep working while
// another client grabs the server. Event-loop thread only.

#include "uilibs/tx/XTypes.h"

namespace svr {

class XTestAvailability {
public:
  XTestAvailability() = delete;

  // The remembered answer; queries `dpy` on the first call in the process.
  static bool present(Display* dpy);
  // Whether the extension has been queried yet.
  static bool queried();
  // The version the server reported; 0.0 while unknown or absent.
  static int majorVersion();
  static int minorVersion();
  // Forgets the answer so that the next present() asks again: only for tests
  // that move from one X server to another inside one process.
  static void forget();
};

} // namespace svr
