#include "bench/support/Painter.h"

#include "bench/support/PatternedScreen.h"

#include <X11/Xlib.h>

#include <csignal>
#include <new>
#include <ctime>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace benchsupport {

namespace {

// Sleeps until `next` and moves it one frame on; a painter that fell behind
// starts counting again from now rather than racing to catch up.
void pace(timespec& next, long frameNs) {
  next.tv_nsec += frameNs;
  while (next.tv_nsec >= 1000000000L) {
    next.tv_nsec -= 1000000000L;
    next.tv_sec++;
  }
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (now.tv_sec > next.tv_sec || (now.tv_sec == next.tv_sec && now.tv_nsec > next.tv_nsec)) {
    next = now;
    return;
  }
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
}

} // namespace

Painter::Painter(const Options& options) {
  void* shared = mmap(nullptr, sizeof(std::atomic<uint64_t>), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED)
    return;
  frames_ = new (shared) std::atomic<uint64_t>(0);
  pid_ = fork();
  if (pid_ == 0)
    paint(options, frames_);
}

Painter::~Painter() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (frames_)
    munmap(frames_, sizeof(std::atomic<uint64_t>));
}

void Painter::paint(const Options& options, std::atomic<uint64_t>* frames) {
  Display* dpy = XOpenDisplay(options.display.empty() ? nullptr : options.display.c_str());
  if (!dpy)
    _exit(1);
  Window root = DefaultRootWindow(dpy);
  GC gc = XCreateGC(dpy, root, 0, nullptr);
  unsigned w = unsigned(options.width), h = unsigned(options.height);
  // Four pictures in turn: a server that samples the screen at up to three
  // frames' distance never finds the picture it sent last, as with a video.
  constexpr unsigned pictureCount = 4;
  Pixmap pictures[pictureCount] = {};
  if (options.content == Content::noise) {
    int depth = DefaultDepth(dpy, DefaultScreen(dpy));
    for (unsigned i = 0; i < pictureCount; i++) {
      pictures[i] = XCreatePixmap(dpy, root, w, h, unsigned(depth));
      XSetForeground(dpy, gc, 0);
      XFillRectangle(dpy, pictures[i], gc, 0, 0, w, h);
      PatternedScreen::paintPattern(dpy, pictures[i], options.width, options.height, 100 + i);
    }
  }
  long frameNs = options.framesPerSecond > 0 ? 1000000000L / options.framesPerSecond : 0;
  timespec next{};
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (unsigned long frame = 0;; frame++) {
    if (options.content == Content::noise) {
      XCopyArea(dpy, pictures[frame % pictureCount], root, gc, 0, 0, w, h, options.x, options.y);
    } else {
      XSetForeground(dpy, gc, frame & 0xffffff);
      XFillRectangle(dpy, root, gc, options.x, options.y, w, h);
    }
    XSync(dpy, False);
    frames->fetch_add(1, std::memory_order_relaxed);
    if (frameNs)
      pace(next, frameNs);
  }
}

} // namespace benchsupport
