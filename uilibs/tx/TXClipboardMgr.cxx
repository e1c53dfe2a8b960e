#include "uilibs/tx/TXClipboardMgr.h"

#include "uilibs/tx/TXUtil.h"
#include "uilibs/tx/XfixesFns.h"

#include "base/plat/LogSrc.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace tx {

namespace {

plat::LogSrc vlog("TXClipboardMgr");

} // namespace

TXClipboardMgr::TXClipboardMgr(TXClipboardWindow::Callback& callback, int32_t pollIntervalMs)
  : window_(callback), pollTimer_(*this), pollInterval_(pollIntervalMs) {
  probeXFixes();
}

TXClipboardMgr::~TXClipboardMgr() {
  setMonitoring(false);
}

void TXClipboardMgr::probeXFixes() {
  int eventBase = 0;
  int errorBase = 0;
  if (!tx::XFixesQueryExtension(display(), &eventBase, &errorBase)) {
    vlog.status("XFixes extension not present");
    if (pollInterval_ == 0)
      pollInterval_ = defaultPollMs;
    return;
  }
  // The server only sends selection events to clients that told it their
  // version first.
  int major = 0;
  int minor = 0;
  tx::XFixesQueryVersion(display(), &major, &minor);
  vlog.status("XFixes extension present - version %d.%d", major, minor);
  xfixes_ = true;
  eventCode_ = eventBase + XFixesSelectionNotify;
}

void TXClipboardMgr::setMonitoring(bool on) {
  if (on == monitoring_)
    return;
  monitoring_ = on;
  if (xfixes_) {
    window_.addWindowEventHandler(this, on);
    selectSelectionInput(on);
  }
  pollTimer_.stop();
  if (on && pollInterval_ > 0) {
    vlog.status("Polling for clipboard updates every %dms", pollInterval_);
    pollTimer_.start(pollInterval_);
  }
}

void TXClipboardMgr::selectSelectionInput(bool on) {
  unsigned long mask = on ? XFixesSetSelectionOwnerNotifyMask : 0;
  tx::XFixesSelectSelectionInput(display(), window_.win(), XA_PRIMARY, mask);
  tx::XFixesSelectSelectionInput(display(), window_.win(), atomClipboard(), mask);
}

bool TXClipboardMgr::timerFired(plat::Timer&) {
  window_.checkSelection(0, 0);
  return true;
}

void TXClipboardMgr::handleEvent(const XEvent& event) {
  if (event.type != eventCode_)
    return;
  const auto& change = reinterpret_cast<const XFixesSelectionNotifyEvent&>(event);
  vlog.info("selection change event, selection %s, timestamp %lu", atomName(change.selection),
            change.selection_timestamp);
  window_.checkSelection(change.selection, change.selection_timestamp);
}

} // namespace tx
