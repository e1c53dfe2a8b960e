#include "bench/support/CaptureEngine.h"

#include "base/plat/Configuration.h"
#include "base/rfb/PixelBuffer.h"
#include "libs/svr/UpdateInfo.h"
#include "uilibs/tx/TXEventDispatcher.h"
#include "uilibs/tx/TXUtil.h"

#include <X11/Xlib.h>

#include <ctime>
#include <poll.h>

namespace benchsupport {

void CaptureEngine::CountingServer::setPixelBuffer(rfb::PixelBuffer* pb) {
  buffer = pb;
  if (pb)
    pb->grabRegion(rfb::Region(pb->getRect()));
}

void CaptureEngine::CountingServer::fbUpdate(const svr::UpdateInfo& update) {
  requested = false;
  if (buffer)
    buffer->grabRegion(update.copied.unite(update.changed));
  lastChanged = update.changed;
  updates++;
}

CaptureEngine::Settings::Settings(const char* method, const char* pollInterval) {
  plat::Configuration& config = plat::Configuration::global();
  config.setParam("CaptureMethod", method, 10);
  config.setParam("PollInterval", pollInterval, 10);
  config.setParam("UpdatePeriod", "0", 10);
  config.setParam("UpdateBatchDelay", "0", 10);
}

CaptureEngine::CaptureEngine(const char* method, const char* pollInterval)
  : settings_(method, pollInterval) {
  desktop_.start(server_);
}

CaptureEngine::~CaptureEngine() {
  desktop_.stop();
}

void CaptureEngine::waitForUpdate() {
  long before = server_.updates;
  server_.requested = true;
  desktop_.requestUpdate();
  for (;;) {
    dispatchDue();
    if (server_.updates != before)
      return;
    waitForWork(100);
  }
}

long CaptureEngine::waitUntilNamed(const rfb::Region& wanted) {
  rfb::Region named;
  long count = 0;
  while (!wanted.subtract(named).isEmpty()) {
    waitForUpdate();
    named.assign_union(server_.lastChanged);
    count++;
  }
  return count;
}

void CaptureEngine::serveFor(std::chrono::milliseconds span) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point end = Clock::now() + span;
  while (Clock::now() < end) {
    if (!server_.requested) {
      server_.requested = true;
      desktop_.requestUpdate();
    }
    dispatchDue();
    waitForWork(
      int(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count()));
  }
}

void CaptureEngine::dispatchDue() {
  Display* dpy = tx::display();
  while (XPending(dpy)) {
    XEvent event;
    XNextEvent(dpy, &event);
    tx::TXEventDispatcher::handleEvent(event);
  }
  plat::TimerManager::current()->processTimers();
}

void CaptureEngine::waitForWork(int maxWaitMs) {
  Display* dpy = tx::display();
  int wait = plat::TimerManager::current()->msUntilNext();
  if (wait < 0 || wait > maxWaitMs)
    wait = maxWaitMs;
  if (XPending(dpy))
    return;
  pollfd pfd = {ConnectionNumber(dpy), POLLIN, 0};
  poll(&pfd, 1, wait < 0 ? 0 : wait);
}

double CaptureEngine::cpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

} // namespace benchsupport
