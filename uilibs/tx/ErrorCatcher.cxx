#include "uilibs/tx/ErrorCatcher.h"

#include "uilibs/tx/TXUtil.h"
#include "uilibs/tx/XErrorException.h"

#include "base/plat/Assert.h"
#include "base/plat/Format.h"
#include "base/plat/LogSrc.h"

#include <X11/Xlib.h>

namespace tx {

namespace {

plat::LogSrc vlog("ErrorCatcher");

// The innermost live catcher; only the event-loop thread touches it.
ErrorCatcher* curr = nullptr;

// True when requests were sent whose answers (and so whose errors) have not
// been read yet.
bool requestsOutstanding(Display* dpy) {
  return dpy && XNextRequest(dpy) - 1 != XLastKnownRequestProcessed(dpy);
}

void waitForServer(Display* dpy) {
  if (requestsOutstanding(dpy))
    XSync(dpy, False);
}

std::string errorText(Display* dpy, int code) {
  char text[256] = "";
  if (dpy)
    XGetErrorText(dpy, code, text, sizeof(text));
  return text;
}

} // namespace

struct ErrorCatcher::Handler {
  static int handle(Display* dpy, XErrorEvent* event) {
    ErrorCatcher* catcher = curr;
    if (!catcher)
      return 0;
    catcher->errorCode_ = event->error_code;
    std::string text =
      plat::format("X Error: %s (%d)", errorText(dpy, event->error_code).c_str(), event->error_code);
    vlog.write(catcher->logLevel_, text.c_str());
    return 0;
  }
};

ErrorCatcher::ErrorCatcher(int logLevel) : previous_(curr), logLevel_(logLevel) {
  waitForServer(display());
  curr = this;
  oldHandler_ = reinterpret_cast<ErasedHandler>(XSetErrorHandler(&Handler::handle));
}

ErrorCatcher::~ErrorCatcher() {
  PLAT_ASSERT(curr == this);
  if (syncOnExit_)
    waitForServer(display());
  curr = previous_;
  XSetErrorHandler(reinterpret_cast<XErrorHandler>(oldHandler_));
}

void ErrorCatcher::check(std::string_view message) {
  waitForServer(display());
  syncOnExit_ = false;
  if (!errorCode_)
    return;
  std::string text(message);
  if (!text.empty())
    text += ": ";
  text += plat::format("%s (%u)", errorText(display(), errorCode_).c_str(), errorCode_);
  throw XErrorException(text, int(errorCode_));
}

} // namespace tx
