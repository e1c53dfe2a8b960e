#pragma once

// Watches cut buffer 0 on the root window and keeps the time of its last
// change, for the clipboard's choice of the newest text. One instance per
// process, registered with the root handlers for PropertyChangeMask by
// install() when the display connection is set up.

#include "uilibs/tx/TXEventHandler.h"

namespace plat {
template <typename T>
class NoDestructor;
}

namespace tx {

class CutBufferEventHandler : public TXEventHandler {
public:
  // Registers the process's watcher (once; later calls do nothing). The
  // display must be open.
  static void install();
  // The server time of the last change of cut buffer 0 seen; 0 = none.
  static Time cutBufferTime();

  void handleEvent(const XEvent& event) override;

private:
  friend class plat::NoDestructor<CutBufferEventHandler>;
  CutBufferEventHandler() = default;

  static Time time_;
};

} // namespace tx
