#pragma once

// A pixmap whose pixels live in a segment attached to the X server
// (MIT-SHM), with a graphics context for copying into it. Copying screen
// areas into it moves pixels inside the server only; they appear in the
// segment once the server has done the copy. Owns the pixmap and the
// context; the attachment must outlive it.

#include "uilibs/tx/XTypes.h"

namespace tx {

class XShmAttachment;

class XShmPixmap {
public:
  // A ZPixmap-format pixmap of width x height at `depth` over the start of
  // the attached segment, for the screen of `drawable`. Throws
  // plat::Exception "XShmPixmapFormat != ZPixmap" when the server lays
  // shared pixmaps out differently, tx::XErrorException "XShmCreatePixmap
  // failed: ..." when it refuses the pixmap.
  XShmPixmap(Display* dpy, Drawable drawable, const XShmAttachment& attachment, int width,
             int height, int depth);
  ~XShmPixmap();
  XShmPixmap(const XShmPixmap&) = delete;
  XShmPixmap& operator=(const XShmPixmap&) = delete;

  // Queues a copy of the w x h area at (srcX, srcY) of `source` to
  // (destX, destY) of the pixmap. Nothing is waited for: see sync().
  void copyFrom(Drawable source, int srcX, int srcY, int w, int h, int destX, int destY);
  // Queues a copy of the w x h area at (srcX, srcY) of `source` to (0, 0)
  // of the pixmap, limited to the pixels under `region`, an XFIXES region
  // in the source's coordinates. Nothing is waited for. Throws
  // plat::DynamicFnLoadFailed, before sending anything, when the XFIXES
  // library lacks XFixesSetGCClipRegion.
  void copyFromUnder(Drawable source, unsigned long region, int srcX, int srcY, int w, int h);
  // Waits until the server has done every queued copy (events are kept).
  void sync();

  Pixmap pixmap() const { return pixmap_; }

private:
  Display* dpy_;
  Pixmap pixmap_ = 0;
  GC gc_ = nullptr;
};

} // namespace tx
