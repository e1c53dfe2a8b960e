#include "uilibs/tx/CutBufferEventHandler.h"

#include "uilibs/tx/TXEventDispatcher.h"

#include "base/plat/NoDestructor.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace tx {

Time CutBufferEventHandler::time_ = 0;

void CutBufferEventHandler::install() {
  // Registered for the rest of the process, so never destroyed.
  static CutBufferEventHandler* const watcher = [] {
    static plat::NoDestructor<CutBufferEventHandler> instance;
    TXEventDispatcher::addRootEventHandler(instance.get(), true, PropertyChangeMask);
    return instance.get();
  }();
  (void)watcher;
}

Time CutBufferEventHandler::cutBufferTime() {
  return time_;
}

void CutBufferEventHandler::handleEvent(const XEvent& event) {
  if (event.type == PropertyNotify && event.xproperty.atom == XA_CUT_BUFFER0)
    time_ = event.xproperty.time;
}

} // namespace tx
