#include "uilibs/tx/XShmPixmap.h"

#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/XShmAttachment.h"
#include "uilibs/tx/XfixesFns.h"

#include "base/plat/Exception.h"

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>

namespace tx {

XShmPixmap::XShmPixmap(Display* dpy, Drawable drawable, const XShmAttachment& attachment,
                       int width, int height, int depth)
  : dpy_(dpy) {
  auto* info = static_cast<XShmSegmentInfo*>(attachment.info());
  ErrorCatcher catcher(100);
  // Other layouts would need converting; the buffer's stride assumes ZPixmap.
  if (XShmPixmapFormat(dpy_) != ZPixmap)
    throw plat::Exception("XShmPixmapFormat != ZPixmap");
  pixmap_ = XShmCreatePixmap(dpy_, drawable, info->shmaddr, info, width, height, depth);
  try {
    catcher.check("XShmCreatePixmap failed");
  } catch (...) {
    // The id was allocated and the request sent; a refused pixmap does not
    // exist on the server, so there is nothing to free there.
    pixmap_ = 0;
    throw;
  }
  gc_ = XCreateGC(dpy_, pixmap_, 0, nullptr);
  // Child windows are part of the screen image: copy through them.
  XSetSubwindowMode(dpy_, gc_, IncludeInferiors);
  XSetGraphicsExposures(dpy_, gc_, False);
}

XShmPixmap::~XShmPixmap() {
  if (gc_)
    XFreeGC(dpy_, gc_);
  if (pixmap_)
    XFreePixmap(dpy_, pixmap_);
}

void XShmPixmap::copyFrom(Drawable source, int srcX, int srcY, int w, int h, int destX,
                          int destY) {
  XCopyArea(dpy_, source, pixmap_, gc_, srcX, srcY, unsigned(w), unsigned(h), destX, destY);
}

void XShmPixmap::copyFromUnder(Drawable source, unsigned long region, int srcX, int srcY, int w,
                               int h) {
  // The clip origin is where the region's (0, 0) falls in the pixmap.
  tx::XFixesSetGCClipRegion(dpy_, gc_, -srcX, -srcY, region);
  XCopyArea(dpy_, source, pixmap_, gc_, srcX, srcY, unsigned(w), unsigned(h), 0, 0);
  XSetClipMask(dpy_, gc_, None);
}

void XShmPixmap::sync() {
  XSync(dpy_, False);
}

} // namespace tx
