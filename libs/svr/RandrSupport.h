#pragma once

// Whether the display's RandR extension can be used to read and change the
// screen layout (version 1.2 or later, client library loadable). Decided
// once per process by the first caller; later callers get the stored
// answer. Log source "Randr".

namespace svr {

class RandrSupport {
public:
  RandrSupport() = delete;

  // The process-wide answer for the open display (false without one). Only
  // the first call's `log` matters: it says whether the reasons for a "no"
  // are logged.
  static bool supported(bool log);

  // The rule itself: RandR 1.2 or later.
  static bool versionUsable(int major, int minor);
};

} // namespace svr
