#pragma once

// The capture engine's monitor choice: the "Monitor" parameter and the
// selection the server made with "setMonitor". The selection is absent when
// the engine is built, the empty text after every start, and otherwise
// changed only by select(). A valid, non-empty "Monitor" parameter always
// wins over the selection.
//
// The engine owns one, calls reset() at start, select() for "setMonitor"
// (rebuilding its buffer while started when it returns true), choose() when
// it builds its buffer, and report() once the new buffer is in place.

#include "libs/svr/MonitorSelectResponse.h"

#include "base/rfb/Rect.h"

#include <optional>
#include <string>

namespace svr {

class MonitorSelect {
public:
  struct Choice {
    // Empty: the whole screen.
    rfb::Rect rect;
    std::optional<std::string> parameterSpec;
    std::optional<std::string> effectiveSpec;
  };

  const std::optional<std::string>& selection() const { return selection_; }

  // A new start: the selection becomes the empty text.
  void reset() { selection_ = std::string(); }

  // "setMonitor": stores `spec` unless it equals the selection, or it is a
  // non-empty text and RandR is unusable or it names no monitor ("Invalid
  // monitor selection: %s", level 100). Rectangle texts are refused here.
  // True when the selection changed: the buffer must be rebuilt.
  bool select(const std::optional<std::string>& spec);

  // The area to capture: the parameter's, else the selection's, else the
  // whole screen; logs "Monitor %s rect %s" for the first two. Areas are
  // clipped to `screen`; one wholly outside it is logged and passed over.
  Choice choose(const rfb::Rect& screen) const;

  // Tells `response` the current monitor list with the specs of `choice`.
  // A failure to list the monitors is logged (level 30) and reported as an
  // empty list.
  static void report(MonitorSelectResponse& response, const Choice& choice);

private:
  std::optional<std::string> selection_;
};

} // namespace svr
