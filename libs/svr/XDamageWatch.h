#pragma once

// A DAMAGE object on one drawable together with the XFIXES region its
// damage is moved into, so that all damage reported since the last look is
// fetched in one round trip. Notify events are not handled here: the owner
// sees them through the toolkit's dispatcher and calls collect() when it
// wants the areas.

#include "uilibs/tx/XTypes.h"

#include "base/rfb/Region.h"

#include <vector>

namespace tx {
class ErrorCatcher;
class PixelBufferX11;
} // namespace tx

namespace svr {

class XDamageWatch {
public:
  // Level 1 of the DAMAGE protocol: a notify event for every area that
  // grows the damage, rather than raw or bounding-box reports.
  static constexpr int reportDeltaRectangles = 1;

  // Starts watching `drawable`; damage that accumulated before is dropped.
  // Throws plat::Exception (an X error, or the XFIXES region functions
  // missing from the client library) with nothing left behind.
  XDamageWatch(Display* dpy, Drawable drawable);
  // Destroys the region and the damage object.
  ~XDamageWatch();
  XDamageWatch(const XDamageWatch&) = delete;
  XDamageWatch& operator=(const XDamageWatch&) = delete;

  // Takes the damage reported since the last call (or construction), in the
  // drawable's coordinates; empty when nothing changed. An X error is logged
  // and gives an empty region.
  // With `buffer` (over the drawable), the damaged pixels are also copied
  // into it in the same round trip, when the buffer can, and marked fresh
  // there: the update that names them need not grab them again. Changes made
  // after the copy are in the next damage taken.
  rfb::Region collect(tx::PixelBufferX11* buffer = nullptr);

  // The DAMAGE object's id, to match notify events against.
  unsigned long damage() const { return damage_; }

  // The union of `count` X rectangles (x, y, width, height). A template
  // only so that this header need not include Xlib, whose XRectangle cannot
  // be forward-declared.
  template <typename XRect>
  static rfb::Region regionFromRects(const XRect* rects, int count);

private:
  // The region's rectangles, once the server has answered; throws the X
  // error `catcher` saw.
  rfb::Region fetch(tx::ErrorCatcher& catcher);

  Display* dpy_;
  unsigned long damage_ = 0;
  unsigned long region_ = 0;
};

template <typename XRect>
rfb::Region XDamageWatch::regionFromRects(const XRect* rects, int count) {
  std::vector<rfb::Rect> corners;
  for (int i = 0; i < count; i++)
    corners.push_back(rfb::Rect::fromXYWH(rects[i].x, rects[i].y, rects[i].width, rects[i].height));
  return rfb::Region(corners);
}

} // namespace svr
