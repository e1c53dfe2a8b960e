#pragma once

// Follows where the root window's top-level children are, in root
// coordinates, borders included on both sides, and reports every move or
// resize.
//
// Invariant while started: rects_ holds one entry per top-level window
// seen (at start or through a ConfigureNotify since) and not destroyed.

#include "uilibs/tx/EnumWindows.h"
#include "uilibs/tx/TXEventHandler.h"

#include "base/rfb/Rect.h"

#include <map>

namespace tx {

class WindowPosTracker : public TXEventHandler, public EnumWindowsCallback {
public:
  class Callback {
  public:
    virtual ~Callback() = default;
    // `oldRect` is empty for a window not known before.
    virtual void windowMoved(Window window, const rfb::Rect& oldRect,
                             const rfb::Rect& newRect) = 0;
  };

  // `callback` is not owned and must outlive the tracker.
  explicit WindowPosTracker(Callback& callback);
  ~WindowPosTracker() override;
  WindowPosTracker(const WindowPosTracker&) = delete;
  WindowPosTracker& operator=(const WindowPosTracker&) = delete;

  // Starts watching the root's substructure and reads every top-level
  // window's current rectangle (no callbacks for those).
  void start();
  void stop();

  // The known rectangles by window.
  const std::map<Window, rfb::Rect>& rects() const { return rects_; }

  void handleEvent(const XEvent& event) override;
  bool enumWindow(Window window) override;

private:
  Callback& callback_;
  std::map<Window, rfb::Rect> rects_;
};

} // namespace tx
