#include "libs/svr/XDamageWatch.h"

#include "base/plat/Exception.h"
#include "base/plat/LogSrc.h"
#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/PixelBufferX11.h"
#include "uilibs/tx/XdamageFns.h"
#include "uilibs/tx/XfixesFns.h"

#include <memory>

namespace svr {

namespace {

plat::LogSrc vlog("XDamageWatch");

struct XFreeDeleter {
  void operator()(XRectangle* rects) const { XFree(rects); }
};

} // namespace

XDamageWatch::XDamageWatch(Display* dpy, Drawable drawable) : dpy_(dpy) {
  tx::ErrorCatcher catcher(100);
  try {
    damage_ = tx::XDamageCreate(dpy_, drawable, reportDeltaRectangles);
    region_ = tx::XFixesCreateRegion(dpy_, nullptr, 0);
    tx::XDamageSubtract(dpy_, damage_, None, region_);
    catcher.check("Starting damage");
  } catch (...) {
    // Requests already sent are undone; errors they cause stay in this scope.
    if (region_)
      tx::XFixesDestroyRegion(dpy_, region_);
    if (damage_)
      tx::XDamageDestroy(dpy_, damage_);
    throw;
  }
}

XDamageWatch::~XDamageWatch() {
  tx::ErrorCatcher catcher(100);
  tx::XFixesDestroyRegion(dpy_, region_);
  tx::XDamageDestroy(dpy_, damage_);
}

rfb::Region XDamageWatch::collect(tx::PixelBufferX11* buffer) {
  bool grabbed = false;
  rfb::Region damaged;
  try {
    tx::ErrorCatcher catcher(100);
    tx::XDamageSubtract(dpy_, damage_, None, region_);
    // Queued before the fetch, so that its answer also says the copy is done.
    grabbed = buffer && buffer->queueGrab(region_);
    damaged = fetch(catcher);
  } catch (const plat::Exception& e) {
    vlog.error("%s", e.str());
    if (!grabbed)
      return {};
    // The copy may have been what failed; the damage is still in the region.
    try {
      tx::ErrorCatcher catcher(100);
      return fetch(catcher);
    } catch (const plat::Exception& again) {
      vlog.error("%s", again.str());
      return {};
    }
  }
  if (grabbed)
    buffer->markFresh(damaged);
  return damaged;
}

rfb::Region XDamageWatch::fetch(tx::ErrorCatcher& catcher) {
  int count = 0;
  XRectangle bounds;
  std::unique_ptr<XRectangle, XFreeDeleter> rects(
    tx::XFixesFetchRegionAndBounds(dpy_, region_, &count, &bounds));
  catcher.check("Fetching damage");
  if (!rects || count <= 0)
    return {};
  return regionFromRects(rects.get(), count);
}

} // namespace svr
