#pragma once

// The clipboard's hidden toolkit window: it fetches the newest text of the X
// selections (or of cut buffer 0) for the viewers, and owns PRIMARY and
// CLIPBOARD with the viewers' text for the desktop's other clients.
//
// One fetch cycle runs at a time: idle -> TIMESTAMP of PRIMARY and then of
// CLIPBOARD (polls only) -> TARGETS -> the text -> idle. Every cycle ends
// with exactly one call of cutTextChanged() or cutTextUnchanged(); a cycle
// that makes no progress for 5000 ms is given up (a text arriving in chunks
// makes progress with each chunk). A text larger than "MaxClipboardBytes"
// is never reported, not even in part.
//
// Invariants: latestTime_ is the newest selection or cut-buffer time seen (0:
// none), and never older than the time at which this window last took the
// selections, so that the agent's own text never looks newer than itself;
// the inherited text is the last text received or set, and a fetched text
// equal to it is not reported again. Event-loop thread only; the timers need
// the thread's timer manager.

#include "uilibs/tx/TXWindow.h"

#include "base/plat/Timer.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace tx {

class TXClipboardWindow : public TXWindow, private plat::Timer::Callback {
public:
  class Callback {
  public:
    virtual ~Callback() = default;
    // Whether PRIMARY is preferred to CLIPBOARD.
    virtual bool sendPrimary() = 0;
    // A fetch cycle found a new text (UTF-8). `initial` marks the text found
    // by the first cycle, which is only the reference for later ones.
    virtual void cutTextChanged(std::string_view text, bool initial) = 0;
    // A fetch cycle ended without a new text: this window owns the selection
    // (`ownedByUs`), the cycle took too long (`timedOut`), or the text was
    // old, a repeat, refused or unusable (both false).
    virtual void cutTextUnchanged(bool ownedByUs, bool timedOut, bool initial) = 0;
  };

  // How long one fetch cycle may go without progress.
  static constexpr int requestTimeoutMs = 5000;

  // Creates the unmapped 1x1 window and starts the first cycle (a poll), so
  // that the text on the desktop now becomes the reference for duplicates.
  // `callback` is not owned and must outlive this object.
  explicit TXClipboardWindow(Callback& callback);
  ~TXClipboardWindow() override;

  // Starts a cycle: a poll when `selection` and `time` are 0, otherwise for
  // a change of `selection` (PRIMARY or CLIPBOARD) at `time`. A PRIMARY
  // change is ignored unless the callback prefers PRIMARY. Throws
  // plat::Exception "Bad selection <atom>" for any other selection.
  void checkSelection(Atom selection, Time time);

  // Offers the viewers' `text` (UTF-8, `length` bytes; null: no text) as
  // PRIMARY and CLIPBOARD and in cut buffer 0, from the current server time.
  void setCutText(size_t length, const char* text);

  // "MaxClipboardBytes": the largest text reported.
  static size_t maxBytes();

  bool initial() const { return initial_; }
  bool cycleInProgress() const { return requestTimer_.isRunning(); }
  Time latestTime() const { return latestTime_; }

private:
  // plat::Timer::Callback
  bool timerFired(plat::Timer& timer) override;
  // TXWindow
  void selectionNotify(const XEvent& event, const SelectionData& data) override;
  void incomingProgress(const XEvent& notify, size_t received) override;

  void checkOwnSelection(Atom selection, bool poll);
  void requestTimestamp(Atom selection, Time time);
  void requestTargets(Atom selection);
  void handleTimestamp(const XEvent& event, const SelectionData& data);
  void decide();
  bool useNewerCutBuffer();
  void handleTargets(const XEvent& event, const SelectionData& data);
  void handleText(const XEvent& event, const SelectionData& data);
  bool fits(size_t bytes, const std::string& source);
  void refuseLarge(const std::string& source);
  void deliver(std::string_view text);
  void unchanged(bool ownedByUs, bool timedOut);
  void complete();

  Callback& callback_;
  plat::Timer requestTimer_;
  Time latestTime_ = 0;
  Atom selectionToFetch_ = 0;
  bool initial_ = true;
  bool timestampSeen_ = false;
};

} // namespace tx
