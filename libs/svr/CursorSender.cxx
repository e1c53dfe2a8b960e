#include "libs/svr/CursorSender.h"

#include "base/plat/Exception.h"
#include "base/plat/LogSrc.h"
#include "base/rfb/ArrowCursor.h"
#include "base/rfb/CursorWithAlpha.h"
#include "libs/svr/SServer.h"
#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/TXUtil.h"
#include "uilibs/tx/XfixesFns.h"

#include <memory>

namespace svr {

namespace {

plat::LogSrc vlog("CursorSender");

struct CursorImageDeleter {
  void operator()(XFixesCursorImage* image) const { XFree(image); }
};
using CursorImagePtr = std::unique_ptr<XFixesCursorImage, CursorImageDeleter>;

// Null when the X server has no image for us (an error, or no cursor).
CursorImagePtr fetchImage() {
  Display* dpy = tx::display();
  if (!dpy)
    return nullptr;
  try {
    tx::ErrorCatcher catcher(100);
    CursorImagePtr image(tx::XFixesGetCursorImage(dpy));
    catcher.check("XFixesGetCursorImage");
    return image;
  } catch (const plat::Exception& e) {
    vlog.error("%s", e.str());
    return nullptr;
  }
}

} // namespace

bool CursorSender::send(SServer& server, bool force) {
  CursorImagePtr image = xfixes_ ? fetchImage() : nullptr;
  if (!image)
    return force && sendArrow(server);

  int64_t serial = int64_t(image->cursor_serial & 0xffffffffu);
  if (!force && serial == lastSerial_)
    return false;

  std::unique_ptr<rfb::CursorWithAlpha> cursor = rfb::CursorWithAlpha::fromImage(
    image->width, image->height, image->xhot, image->yhot, image->pixels);
  if (!cursor) {
    vlog.error("Cursor image %dx%d hotspot %d,%d cannot be sent", image->width, image->height,
               image->xhot, image->yhot);
    return force && sendArrow(server);
  }
  server.setCursorImage(cursor.get());
  lastSerial_ = serial;
  return true;
}

bool CursorSender::sendArrow(SServer& server) {
  rfb::ArrowCursor arrow(arrowSize, rfb::PixelFormat());
  server.setCursorImage(&arrow);
  lastSerial_ = -1;
  return true;
}

} // namespace svr
