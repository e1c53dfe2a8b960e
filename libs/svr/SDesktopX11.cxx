#include "libs/svr/SDesktopX11.h"

#include "base/plat/LogSrc.h"
#include "uilibs/tx/TXUtil.h"

#include <X11/Xlib.h>

namespace svr {

namespace {

plat::LogSrc vlog("SDesktopX11");

} // namespace

SDesktopX11::SDesktopX11(Callback& callback) : callback_(callback) {}

SDesktopX11::~SDesktopX11() {
  if (started())
    stop();
}

void SDesktopX11::keyEvent(uint32_t keysym, bool down) {
  vlog.debug("keyEvent 0x%x %s (no keyboard injection)", keysym, down ? "down" : "up");
}

void SDesktopX11::pointerEvent(const rfb::Point& position, uint32_t buttonMask, bool relative) {
  vlog.debug("pointerEvent %d,%d buttons 0x%x%s (no pointer injection)", position.x, position.y,
             buttonMask, relative ? " relative" : "");
}

void SDesktopX11::clientCutText(std::string_view text) {
  callback_.setClipboardText(text);
}

void SDesktopX11::start(SServer& server) {
  vlog.status("Desktop started (%s)", getRect().printWH().c_str());
  server_ = &server;
}

void SDesktopX11::stop() {
  vlog.status("Desktop stopped");
  server_ = nullptr;
}

void SDesktopX11::requestUpdate() {
  vlog.debug("Update requested (no capture yet)");
}

rfb::Rect SDesktopX11::getRect() {
  Display* dpy = tx::display();
  if (!dpy)
    return {};
  int screen = DefaultScreen(dpy);
  return rfb::Rect(0, 0, DisplayWidth(dpy, screen), DisplayHeight(dpy, screen));
}

bool SDesktopX11::getPF(rfb::PixelFormat& pf) {
  Display* dpy = tx::display();
  if (!dpy)
    return false;
  int screen = DefaultScreen(dpy);
  pf = tx::pixelFormatOfVisual(DefaultVisual(dpy, screen), DefaultDepth(dpy, screen));
  return true;
}

} // namespace svr
