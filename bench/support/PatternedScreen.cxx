#include "bench/support/PatternedScreen.h"

#include "uilibs/tx/TXUtil.h"

#include <X11/Xlib.h>

#include <random>
#include <stdexcept>

namespace benchsupport {

PatternedScreen& PatternedScreen::shared(int width, int height) {
  static std::unique_ptr<PatternedScreen> screen;
  if (!screen)
    screen.reset(new PatternedScreen(width, height));
  if (screen->width_ != width || screen->height_ != height)
    throw std::runtime_error("PatternedScreen: another size was asked for before");
  return *screen;
}

PatternedScreen::PatternedScreen(int width, int height) : width_(width), height_(height) {
  testsupport::XvfbServer::Options options;
  options.width = width;
  options.height = height;
  options.depth = 24;
  server_ = std::make_unique<testsupport::XvfbServer>(options);
  server_->exportDisplay();
  tx::openDisplay(server_->displayName().c_str());
  Display* dpy = tx::display();
  paintPattern(dpy, tx::rootWindow(), width, height);
  XSync(dpy, False);
}

void PatternedScreen::paintPattern(void* display, unsigned long drawable, int width, int height,
                                   unsigned seed) {
  Display* dpy = static_cast<Display*>(display);
  GC gc = XCreateGC(dpy, drawable, 0, nullptr);
  std::mt19937 rng(seed);
  for (int i = 0; i < 2000; i++) {
    XSetForeground(dpy, gc, rng() & 0xffffff);
    XFillRectangle(dpy, drawable, gc, int(rng() % unsigned(width)), int(rng() % unsigned(height)),
                   1 + rng() % 300, 1 + rng() % 200);
  }
  XFreeGC(dpy, gc);
}

} // namespace benchsupport
