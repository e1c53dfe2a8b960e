#include "bench/support/PatternedScreen.h"

#include "uilibs/tx/TXUtil.h"

#include <X11/Xlib.h>

#include <cstdlib>
#include <random>
#include <unistd.h>
#include <stdexcept>

namespace benchsupport {

PatternedScreen& PatternedScreen::shared(int width, int height, bool inFile) {
  static std::unique_ptr<PatternedScreen> screen;
  if (!screen)
    screen.reset(new PatternedScreen(width, height, inFile));
  if (screen->width_ != width || screen->height_ != height || screen->fbdir_.empty() == inFile)
    throw std::runtime_error("PatternedScreen: another screen was asked for before");
  return *screen;
}

PatternedScreen::PatternedScreen(int width, int height, bool inFile)
  : width_(width), height_(height) {
  testsupport::XvfbServer::Options options;
  options.width = width;
  options.height = height;
  options.depth = 24;
  if (inFile) {
    // In memory: a file on disk would add write-back to the figures.
    char dir[] = "/dev/shm/kwo-bench-XXXXXX";
    if (!mkdtemp(dir))
      throw std::runtime_error("PatternedScreen: mkdtemp failed");
    fbdir_ = dir;
    options.extraArguments = {"-fbdir", fbdir_};
  }
  server_ = std::make_unique<testsupport::XvfbServer>(options);
  server_->exportDisplay();
  tx::openDisplay(server_->displayName().c_str());
  Display* dpy = tx::display();
  paintPattern(dpy, tx::rootWindow(), width, height);
  XSync(dpy, False);
}

PatternedScreen::~PatternedScreen() {
  server_.reset();
  if (fbdir_.empty())
    return;
  unlink(framebufferPath().c_str());
  rmdir(fbdir_.c_str());
}

std::string PatternedScreen::framebufferPath() const {
  return fbdir_.empty() ? std::string() : fbdir_ + "/Xvfb_screen0";
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
