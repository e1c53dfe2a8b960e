#include "libs/svr/SDesktopX11.h"

#include "base/plat/Assert.h"
#include "base/plat/BoolParameter.h"
#include "base/plat/Exception.h"
#include "base/plat/IntParameter.h"
#include "base/plat/LocKey.h"
#include "base/plat/LogSrc.h"
#include "libs/svr/DamageTest.h"
#include "libs/svr/RandrScreen.h"
#include "libs/svr/SKeyboardX11.h"
#include "libs/svr/SPointerX11.h"
#include "libs/svr/SServer.h"
#include "libs/svr/XDamageWatch.h"
#include "uilibs/tx/ColourMapX11.h"
#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/PixelBufferX11.h"
#include "uilibs/tx/TXEventDispatcher.h"
#include "uilibs/tx/TXUtil.h"
#include "uilibs/tx/TXWindow.h"
#include "uilibs/tx/XdamageFns.h"
#include "uilibs/tx/XfixesFns.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <climits>

namespace svr {

namespace {

plat::LogSrc vlog("SDesktopX11");

plat::IntParameter captureMethod("CaptureMethod",
                                 plat::LocKey("svr_param_sdesktopx11_capturemethod"), 0, 0, 2);
plat::IntParameter pollInterval("PollInterval", plat::LocKey("svr_param_pollinterval"), 50, 1,
                                INT_MAX);
plat::BoolParameter useXFixes("UseXFixes",
                              "Whether to use the XFixes extension to track cursor changes.", true);
plat::BoolParameter clipToMonitorsParam("_ClipToMonitors", "", true);

// The values of "CaptureMethod".
constexpr int captureOptimal = 0;
constexpr int capturePolling = 1;

// Removes the root's own ConfigureNotify events from the queue. Those of
// its children, reported on the root through SubstructureNotify, stay for
// the window tracker.
Bool isRootConfigure(Display*, XEvent* event, XPointer root) {
  return event->type == ConfigureNotify &&
         event->xconfigure.window == reinterpret_cast<Window>(root);
}

} // namespace

SDesktopX11::SDesktopX11(Callback& callback)
  : callback_(callback), ext_(CaptureExtensions::discover(tx::display(), vlog, useXFixes)),
    randrEvents_(tx::display()), scheduler_(*this), pollTimer_(*this), resizeTimer_(*this), windowTracker_(*this),
    cursor_(ext_.xfixes.present) {
  if (ext_.xfixes.present) {
    cursorWindow_ = std::make_unique<tx::TXWindow>();
    cursorWindow_->addWindowEventHandler(this, true);
  }
  // Without XTEST both injectors drop every event; they are built anyway so
  // that the answer is logged once, above, and not per event.
  if (Display* dpy = tx::display()) {
    keyboard_ = std::make_unique<SKeyboardX11>(dpy);
    pointer_ = std::make_unique<SPointerX11>(dpy);
  }
}

SDesktopX11::~SDesktopX11() {
  if (started())
    stop();
  if (cursorWindow_)
    cursorWindow_->addWindowEventHandler(this, false);
}

// ---- input

void SDesktopX11::keyEvent(uint32_t keysym, bool down) {
  if (keyboard_)
    keyboard_->keyEvent(keysym, down);
}

void SDesktopX11::pointerEvent(const rfb::Point& position, uint32_t buttonMask, bool relative) {
  rfb::Point at = position;
  if (!relative && pb_) {
    const rfb::Rect& r = pb_->getRect();
    at.x = std::max(r.tl.x, std::min(at.x, r.br.x - 1));
    at.y = std::max(r.tl.y, std::min(at.y, r.br.y - 1));
  }
  if (pointer_)
    pointer_->pointerEvent(at, buttonMask, relative);
}

void SDesktopX11::clientCutText(std::string_view text) {
  callback_.setClipboardText(text);
}

void SDesktopX11::cursorPosChanged(const rfb::Point& position) {
  if (server_)
    server_->setCursorPos(position);
}

void SDesktopX11::localPointerMoved() {
  if (server_)
    server_->localInput();
}

// ---- start and stop

void SDesktopX11::start(SServer& server) {
  PLAT_ASSERT(!started());
  server_ = &server;
  monitorSelect_.reset();
  // Resizes are watched from before the screen's size is read for the
  // buffer: one in between would otherwise leave the buffer at the old size.
  tx::TXEventDispatcher::addRootEventHandler(this, true, StructureNotifyMask);
  randrEvents_.select(true);
  // Capture starts before the buffer's first grab: damage watched only from
  // after it would never report a change made in between, and the viewers
  // would keep the old picture there.
  chooseCaptureMethod();
  startPointer();
  try {
    buildBuffer();
  } catch (...) {
    dropBuffer();
    if (pointer_)
      pointer_->setCallback(nullptr);
    server_ = nullptr;
    updateCapture();
    throw;
  }
  if (keyboard_)
    keyboard_->refreshModifierState();
  scheduler_.setServer(server_);
  updateCapture();
  vlog.status("Desktop started (%s)", pb_->getRect().printWH().c_str());
}

// The server learns where the pointer is before the first picture: one that
// draws the cursor into the pixels would otherwise draw it at 0,0 until the
// pointer moves.
void SDesktopX11::startPointer() {
  if (!pointer_)
    return;
  pointer_->setCallback(this);
  if (pointer_->isPolling())
    cursorPosChanged(pointer_->position());
}

void SDesktopX11::stop() {
  if (!started())
    return;
  // The server may still show the buffer; leave it black rather than with
  // the last screen contents.
  if (pb_)
    pb_->fillRect(pb_->getRect(), 0);
  server_->setPixelBuffer(nullptr);
  server_ = nullptr;
  scheduler_.setServer(nullptr);
  updateCapture();
  // Keys and buttons viewers still hold are released and the keysyms they
  // added taken back (the keyboard's stop gives the server time to act on
  // both); the pointer watch has nobody to report to.
  if (pointer_)
    pointer_->releaseButtons();
  if (keyboard_)
    keyboard_->stop();
  if (pointer_)
    pointer_->setCallback(nullptr);
  pb_.reset();
}

void SDesktopX11::requestUpdate() {
  scheduler_.requestUpdate();
}

rfb::Rect SDesktopX11::getRect() {
  Display* dpy = tx::display();
  if (!dpy)
    return {};
  // Xlib's own idea of the screen size is not updated by resizes.
  Window root = 0;
  int x = 0, y = 0;
  unsigned width = 0, height = 0, border = 0, depth = 0;
  tx::ErrorCatcher catcher(100);
  if (!XGetGeometry(dpy, tx::rootWindow(), &root, &x, &y, &width, &height, &border, &depth))
    return {};
  return rfb::Rect(0, 0, int(width), int(height));
}

bool SDesktopX11::getPF(rfb::PixelFormat& pf) {
  Display* dpy = tx::display();
  if (!dpy)
    return false;
  int screen = DefaultScreen(dpy);
  pf = tx::pixelFormatOfVisual(DefaultVisual(dpy, screen), DefaultDepth(dpy, screen));
  return true;
}

SDesktopX11::Capture SDesktopX11::capture() const {
  if (damage_)
    return Capture::damage;
  if (pollTimer_.isRunning())
    return Capture::polling;
  return Capture::none;
}

// ---- the screen buffer

void SDesktopX11::buildBuffer() {
  dropBuffer();
  if (!tx::display())
    throw plat::Exception("No X display");
  MonitorSelect::Choice choice = monitorSelect_.choose(getRect());
  pb_ = std::make_unique<tx::PixelBufferX11>(tx::rootWindow(), callback_.getShmPerm(),
                                             choice.rect);
  clipToMonitors();
  server_->setPixelBuffer(pb_.get());
  MonitorSelect::report(callback_, choice);
}

void SDesktopX11::dropBuffer() {
  if (!pb_)
    return;
  if (server_)
    server_->setPixelBuffer(nullptr);
  pb_.reset();
}

// Parts of the root outside every monitor are seen by nobody: grabs skip
// them.
void SDesktopX11::clipToMonitors() {
  if (!clipToMonitorsParam || !ext_.randr)
    return;
  try {
    RandrScreen screen;
    if (!screen.valid())
      throw plat::Exception("No RandR screen resources");
    rfb::Region monitors;
    for (const RandrScreen::Monitor& monitor : screen.monitors())
      monitors.assign_union(rfb::Region(monitor.rect));
    if (!monitors.isEmpty())
      pb_->setClipRegion(monitors);
  } catch (const plat::Exception& e) {
    vlog.error("Failed to get monitor rects: %s", e.str());
  }
}

void SDesktopX11::rebuild() {
  if (!started())
    return;
  // The test reads the buffer that is about to go.
  bool restartTest = damageTest_ || damageTestInterrupted_;
  damageTest_.reset();
  damageTestInterrupted_ = false;
  try {
    buildBuffer();
  } catch (const plat::Exception& e) {
    dropBuffer();
    damageTestInterrupted_ = restartTest;
    server_->desktopFailure(e);
    return;
  }
  if (restartTest) {
    vlog.status("Restarting damage test due to resolution change");
    startDamageTest();
  }
}

void SDesktopX11::displayChanged() {
  // Changes come in bursts (every CRTC of a mode change): one rebuild after
  // the last will do.
  if (started())
    resizeTimer_.start(resizeDelayMs);
}

void SDesktopX11::setMonitor(const std::optional<std::string>& spec) {
  if (monitorSelect_.select(spec) && started())
    rebuild();
}

// ---- choosing and running the capture method

void SDesktopX11::updateCapture() {
  if (server_) {
    sendCursor(true);
    selectCursorEvents(true);
    // The test compares snapshots of the buffer, so it waits for one.
    if (damage_ && captureMethod == captureOptimal)
      startDamageTest();
    tx::TXEventDispatcher::addRootEventHandler(this, true, StructureNotifyMask);
    return;
  }
  stopDamage();
  pollTimer_.stop();
  resizeTimer_.stop();
  selectCursorEvents(false);
  randrEvents_.select(false);
  tx::TXEventDispatcher::addRootEventHandler(this, false, 0);
}

void SDesktopX11::chooseCaptureMethod() {
  if (captureMethod == capturePolling || !ext_.xdamage.present || !startDamage())
    startPolling();
}

bool SDesktopX11::startDamage() {
  vlog.status("Using damage extension");
  try {
    damage_ = std::make_unique<XDamageWatch>(tx::display(), tx::rootWindow());
  } catch (const plat::Exception& e) {
    vlog.error("%s", e.str());
    return false;
  }
  pending_.clear();
  windowTracker_.start();
  return true;
}

void SDesktopX11::stopDamage() {
  if (!damage_)
    return;
  damageTest_.reset();
  damageTestInterrupted_ = false;
  damage_.reset();
  windowTracker_.stop();
  pending_.clear();
  if (captureMethod != captureOptimal)
    callback_.captureBroken(false);
}

void SDesktopX11::startPolling() {
  vlog.status("Using polling");
  pollTimer_.start(pollInterval);
}

void SDesktopX11::startDamageTest() {
  if (!pb_)
    return;
  try {
    DamageTestCallback& callback = *this;
    damageTest_ = std::make_unique<DamageTest>(callback, *pb_);
  } catch (const plat::Exception& e) {
    vlog.error("Damage test: %s", e.str());
  }
}

bool SDesktopX11::timerFired(plat::Timer& timer) {
  if (&timer == &resizeTimer_) {
    rebuild();
    return false;
  }
  if (pb_) {
    scheduler_.addChanged(rfb::Region(pb_->getRect()));
    scheduler_.changesAdded();
  }
  return true;
}

bool SDesktopX11::takeDamage() {
  rfb::Region changed = damage_->collect(pb_.get());
  changed.assign_union(pending_);
  pending_.clear();
  if (!pb_ || changed.isEmpty())
    return false;
  changed.assign_intersect(rfb::Region(pb_->getRect()));
  if (changed.isEmpty())
    return false;
  scheduler_.addChanged(changed);
  if (damageTest_)
    damageTest_->addDamage(changed);
  return true;
}

void SDesktopX11::collectDamage() {
  // The test asks between updates: whatever it finds must also go out.
  if (damage_ && takeDamage())
    scheduler_.changesAdded();
}

void SDesktopX11::damageTestResult(DamageTest* test, bool any, bool all, bool nonFull) {
  PLAT_ASSERT(test == damageTest_.get());
  vlog.status("Damage test: any %d all %d non full %d", any, all, nonFull);
  callback_.captureBroken(!all);
  damageTest_.reset();
  if (all)
    return;
  stopDamage();
  startPolling();
}

void SDesktopX11::prepareUpdate() {
  if (pb_) {
    auto* colourMap = dynamic_cast<tx::ColourMapX11*>(pb_->getColourMap());
    if (colourMap && colourMap->refresh()) {
      server_->setColourMapEntries(0, 0);
      sendCursor(true);
    }
  }
  if (damage_)
    takeDamage();
}

void SDesktopX11::windowMoved(Window, const rfb::Rect& oldRect, const rfb::Rect& newRect) {
  // Region keeps 16-bit coordinates and clamps what lies beyond. The old
  // place shows what was under the window, the new one the window.
  pending_.assign_union(rfb::Region(oldRect));
  pending_.assign_union(rfb::Region(newRect));
  scheduler_.changesAdded();
}

// ---- X events

void SDesktopX11::handleEvent(const XEvent& event) {
  if (event.type == ConfigureNotify) {
    if (event.xconfigure.window == tx::rootWindow()) {
      vlog.debug("Root window configured %dx%d", event.xconfigure.width, event.xconfigure.height);
      rootConfigured();
    }
    return;
  }
  if (randrEvents_.isLayoutChange(event)) {
    displayChanged();
    return;
  }
  if (damage_ && event.type == ext_.xdamage.eventBase + XDamageNotify) {
    scheduler_.changesAdded();
    return;
  }
  if (ext_.xfixes.present && event.type == ext_.xfixes.eventBase + XFixesCursorNotify) {
    const auto& notify = reinterpret_cast<const XFixesCursorNotifyEvent&>(event);
    if (notify.subtype == XFixesDisplayCursorNotify && server_)
      sendCursor(false);
  }
}

void SDesktopX11::rootConfigured() {
  // A resize in progress sends bursts; one rebuild after the last will do.
  XEvent dropped;
  while (XCheckIfEvent(tx::display(), &dropped, isRootConfigure,
                       reinterpret_cast<XPointer>(tx::rootWindow()))) {
  }
  displayChanged();
}

// ---- cursor

void SDesktopX11::selectCursorEvents(bool on) {
  if (!cursorWindow_)
    return;
  tx::ErrorCatcher catcher(100);
  tx::XFixesSelectCursorInput(tx::display(), cursorWindow_->win(),
                              on ? XFixesDisplayCursorNotifyMask : 0);
}

void SDesktopX11::sendCursor(bool force) {
  if (server_)
    cursor_.send(*server_, force);
}

} // namespace svr
