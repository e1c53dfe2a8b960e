#pragma once

// Notices when the X selections change and has the clipboard window fetch
// the newest text: through XFIXES selection-owner events where the server
// has the extension, or by polling at a fixed interval (2000 ms when there
// is no XFIXES and no interval was asked for).
//
// Invariants: while monitoring, the manager is one of the clipboard window's
// handlers exactly when XFIXES is present, and the poll timer runs exactly
// when the poll interval is above 0. Event-loop thread only.

#include "uilibs/tx/TXClipboardWindow.h"
#include "uilibs/tx/TXEventHandler.h"

#include "base/plat/Timer.h"

#include <cstddef>
#include <cstdint>

namespace tx {

class TXClipboardMgr : private plat::Timer::Callback, private TXEventHandler {
public:
  // The poll interval used when XFIXES is missing and `pollIntervalMs` is 0.
  static constexpr int32_t defaultPollMs = 2000;

  // Creates the clipboard window (which looks at the current text at once)
  // and probes XFIXES. Monitoring starts off. `callback` is not owned and
  // must outlive this object. The display must be open.
  TXClipboardMgr(TXClipboardWindow::Callback& callback, int32_t pollIntervalMs);
  ~TXClipboardMgr() override;
  TXClipboardMgr(const TXClipboardMgr&) = delete;
  TXClipboardMgr& operator=(const TXClipboardMgr&) = delete;

  // Starts or stops watching for changes; does nothing when already so.
  void setMonitoring(bool on);
  bool monitoring() const { return monitoring_; }

  // Offers the viewers' text (UTF-8; null: none) to the desktop's clients.
  void setCutText(size_t length, const char* text) { window_.setCutText(length, text); }

  bool hasXFixes() const { return xfixes_; }
  int32_t pollInterval() const { return pollInterval_; }
  TXClipboardWindow& window() { return window_; }

private:
  void probeXFixes();
  void selectSelectionInput(bool on);

  // plat::Timer::Callback
  bool timerFired(plat::Timer& timer) override;
  // TXEventHandler (a handler of the clipboard window)
  void handleEvent(const XEvent& event) override;

  TXClipboardWindow window_;
  plat::Timer pollTimer_;
  int32_t pollInterval_;
  bool xfixes_ = false;
  int eventCode_ = 0;
  bool monitoring_ = false;
};

} // namespace tx
