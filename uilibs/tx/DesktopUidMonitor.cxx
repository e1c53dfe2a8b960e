#include "uilibs/tx/DesktopUidMonitor.h"

#include "uilibs/tx/DesktopUserTally.h"
#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/ProcessTable.h"
#include "uilibs/tx/TXEventDispatcher.h"
#include "uilibs/tx/TXUtil.h"
#include "uilibs/tx/WindowProperty.h"

#include "base/plat/LogSrc.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace tx {

namespace {

plat::LogSrc vlog("DesktopUidMonitor");

Atom intern(const char* name) {
  return XInternAtom(display(), name, False);
}

Atom atomDesktopUid() {
  static const Atom atom = intern("KWO_DESKTOP_UID");
  return atom;
}

Atom atomNetWmWindowType() {
  static const Atom atom = intern("_NET_WM_WINDOW_TYPE");
  return atom;
}

Atom atomNetWmWindowTypeNormal() {
  static const Atom atom = intern("_NET_WM_WINDOW_TYPE_NORMAL");
  return atom;
}

Atom atomNetWmWindowTypeDock() {
  static const Atom atom = intern("_NET_WM_WINDOW_TYPE_DOCK");
  return atom;
}

// The first item of a format-32 property of exactly `type`; none for a
// missing property, another type or format, or no items.
std::optional<unsigned long> firstValue32(Window window, Atom property, Atom type) {
  WindowProperty value = WindowProperty::read(window, property, false, type);
  if (!value.ok() || !value.typeMatched() || value.type() != type || value.format() != 32 ||
      value.items() < 1)
    return std::nullopt;
  return value.value32(0);
}

// Root properties that a desktop session sets when it starts (window
// manager, Motif and colour conventions, X resources).
bool isSessionChange(const XEvent& event) {
  if (event.type != PropertyNotify || event.xproperty.window != rootWindow())
    return false;
  Atom atom = event.xproperty.atom;
  return atom == atomNetSupported() || atom == atomNetSupportingWmCheck() ||
         atom == atomMitPriorityColors() || atom == atomMotifWmInfo() ||
         atom == XA_RESOURCE_MANAGER;
}

bool isDesktopUidChange(const XEvent& event) {
  return event.type == PropertyNotify && event.xproperty.atom == atomDesktopUid();
}

} // namespace

DesktopUidMonitor::DesktopUidMonitor(Callback& callback, std::string procRoot)
  : callback_(callback), procRoot_(std::move(procRoot)) {
  vlog.status("Starting desktop uid monitor");
  TXEventDispatcher::addRootEventHandler(this, true, PropertyChangeMask);
  timer_.start(0);
}

DesktopUidMonitor::~DesktopUidMonitor() {
  TXEventDispatcher::addRootEventHandler(this, false, 0);
  timer_.stop();
}

bool DesktopUidMonitor::timerFired(plat::Timer&) {
  uint32_t uid = determineUid();
  // A new session of the same user may come with a new authority file; the
  // server needs that one to reach the display.
  if (retries_ > 0 && uid == lastUid_ && xauthFile_ == lastXauthFile_) {
    --retries_;
    return retries_ > 0;
  }
  firstCheckDone_ = true;
  vlog.status("Desktop user is %d", int(uid));
  lastUid_ = uid;
  lastXauthFile_ = xauthFile_;
  callback_.desktopUidChanged(uid, xauthFile_);
  return false;
}

void DesktopUidMonitor::handleEvent(const XEvent& event) {
  if (!firstCheckDone_)
    return;
  // Once a user is known, only a new uid property or a new session can
  // change the answer; while nobody is known, any root change may.
  if (lastUid_ != noUid && !isSessionChange(event) && !isDesktopUidChange(event))
    return;
  retries_ = maxRetries;
  if (!timer_.isRunning())
    timer_.start(retryIntervalMs);
}

uint32_t DesktopUidMonitor::determineUid() {
  xauthFile_.reset();
  if (std::optional<uint32_t> uid = uidFromProperty())
    return *uid;
  return scanProcesses();
}

std::optional<uint32_t> DesktopUidMonitor::uidFromProperty() {
  std::optional<unsigned long> value = firstValue32(rootWindow(), atomDesktopUid(), XA_CARDINAL);
  if (!value || *value == noUid)
    return std::nullopt;
  return uint32_t(*value);
}

bool DesktopUidMonitor::enumWindow(Window window) {
  std::optional<unsigned long> type = firstValue32(window, atomNetWmWindowType(), XA_ATOM);
  if (type && *type != atomNetWmWindowTypeNormal() && *type != atomNetWmWindowTypeDock())
    return true;
  std::optional<unsigned long> pid = firstValue32(window, atomNetWmPid(), XA_CARDINAL);
  if (pid && *pid != 0)
    windowPids_.insert(uint32_t(*pid));
  return true;
}

uint32_t DesktopUidMonitor::scanProcesses() {
  windowPids_.clear();
  {
    // Windows may vanish while they are looked at; their errors end here.
    ErrorCatcher catcher(100);
    enumerateWindows(*this, 0, true);
  }
  DesktopUserTally tally;
  ProcessTable(procRoot_).scan(
    windowPids_, "XAUTHORITY", maxXauthFileLength, [&](const ProcessTable::Process& process) {
      using Kind = ProcessTable::EnvValue::Kind;
      switch (process.env.kind) {
      case Kind::absent:
        tally.add(process.uid, std::nullopt);
        break;
      case Kind::found:
        if (auto mismatch = tally.add(process.uid, process.env.value))
          vlog.info("xauthFile mismatch: %s != %s", mismatch->stored.c_str(),
                    mismatch->seen.c_str());
        break;
      case Kind::unusable:
        vlog.info("Ignoring XAUTHORITY of process %u: %s", process.pid,
                  process.env.reason.c_str());
        tally.addUnusable(process.uid);
        break;
      }
    });
  windowPids_.clear();
  xauthFile_ = tally.xauthFile();
  return tally.bestUid().value_or(noUid);
}

} // namespace tx
