#include "libs/svr/RandrEvents.h"

#include "libs/svr/RandrSupport.h"

#include "base/plat/Exception.h"
#include "base/plat/LogSrc.h"
#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/XrandrFns.h"

namespace svr {

namespace {

plat::LogSrc vlog("Randr");

} // namespace

RandrEvents::RandrEvents(Display* dpy) : dpy_(dpy) {
  int eventBase = 0;
  int errorBase = 0;
  // The query also makes the library turn the events into their structures.
  if (dpy_ && RandrSupport::supported(false) &&
      tx::XRRQueryExtension(dpy_, &eventBase, &errorBase))
    eventBase_ = eventBase;
}

void RandrEvents::select(bool on) {
  if (eventBase_ < 0)
    return;
  try {
    tx::ErrorCatcher catcher(100);
    tx::XRRSelectInput(dpy_, DefaultRootWindow(dpy_),
                       on ? RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask : 0);
  } catch (const plat::Exception& e) {
    vlog.error("%s", e.str());
  }
}

bool RandrEvents::isLayoutChange(const XEvent& event) const {
  if (eventBase_ < 0)
    return false;
  if (event.type == eventBase_ + RRScreenChangeNotify)
    return true;
  return event.type == eventBase_ + RRNotify &&
         reinterpret_cast<const XRRNotifyEvent&>(event).subtype == RRNotify_CrtcChange;
}

} // namespace svr
