#pragma once

// Another application on an X server, drawing on the root window, for
// tests that watch what the agent captures.

// GoogleTest comes first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <stdexcept>
#include <string>

namespace testsupport {

class RootPainter {
public:
  explicit RootPainter(const std::string& display) : dpy_(XOpenDisplay(display.c_str())) {
    if (!dpy_)
      throw std::runtime_error("cannot open " + display);
    gc_ = XCreateGC(dpy_, root(), 0, nullptr);
  }
  ~RootPainter() {
    XFreeGC(dpy_, gc_);
    XCloseDisplay(dpy_);
  }
  RootPainter(const RootPainter&) = delete;
  RootPainter& operator=(const RootPainter&) = delete;

  Display* dpy() const { return dpy_; }
  Window root() const { return DefaultRootWindow(dpy_); }

  // Fills x, y, w, h of the root with the pixel value `rgb` and waits until
  // the server has done it.
  void fill(int x, int y, int w, int h, unsigned long rgb) {
    XSetForeground(dpy_, gc_, rgb);
    XFillRectangle(dpy_, root(), gc_, x, y, unsigned(w), unsigned(h));
    XSync(dpy_, False);
  }

private:
  Display* dpy_;
  GC gc_;
};

} // namespace testsupport
