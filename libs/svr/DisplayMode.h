#pragma once

// Screen geometries through RandR: keeps the agent's own modes in step with
// the "RandR" parameter (a comma-separated list of WxH sizes) and resizes
// the screen on request, reconfiguring every CRTC.
//
// Modes it creates are named "<entry>_kwo" for an entry of the parameter and
// "<W>x<H>_kwo" for a requested size; only modes whose names end in "_kwo"
// are ever deleted, and never while a CRTC shows them. A created mode of
// W x H has a six-pixel blanking interval in each direction at 60 Hz:
// hSyncStart W+2, hSyncEnd W+4, hTotal W+6 (likewise vertically) and a dot
// clock of (W+6)(H+6)60 Hz. Sizes whose timings do not fit the protocol's
// fields (16-bit sizes, 32-bit dot clock) are refused and logged.
//
// Whether RandR is usable is decided once per process (svr::RandrSupport);
// without it the component is inert: parameter changes and requests do
// nothing and the callback is never called. A library function missing at
// run time is logged and the operation skipped.
// Log source "DisplayMode".

#include "base/plat/ParameterChangedCallback.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace svr {

class DisplayMode : public plat::ParameterChangedCallback {
public:
  class Callback {
  public:
    // The mode list was brought in line with a changed "RandR" parameter.
    virtual void displayModesUpdated() = 0;

  protected:
    ~Callback() = default;
  };

  struct Size {
    int width;
    int height;
  };

  // The fields of a created mode that are not zero.
  struct Timings {
    unsigned width, height;
    unsigned hSyncStart, hSyncEnd, hTotal;
    unsigned vSyncStart, vSyncEnd, vTotal;
    uint64_t dotClock;
  };

  // Watches the "RandR" parameter, runs the RandR check (logging why it
  // fails) and brings the "_kwo" modes in line with the parameter: modes an
  // earlier agent left behind are deleted unless a CRTC shows them.
  // `callback` (not owned, may be null) must outlive this object; it is not
  // called for this first synchronisation.
  explicit DisplayMode(Callback* callback);
  ~DisplayMode() override;
  DisplayMode(const DisplayMode&) = delete;
  DisplayMode& operator=(const DisplayMode&) = delete;

  bool isSupported() const { return supported_; }

  // Switches the screen to width x height: every CRTC that drives outputs
  // gets a mode of that size (an existing one of any name, else a new "_kwo"
  // one) at its old position, rotation and outputs, and the screen gets that
  // size at 96 dpi. True when the screen now has that size. Does nothing
  // (false) for a size that is not positive or without RandR. "Unable to set
  // display mode to %dx%d" (level 0) when no mode of that size can be had.
  // When the server refuses any step (a size beyond the screen's range, a
  // CRTC that does not fit the new size), every CRTC and the screen size are
  // put back and "Unable to set display mode" is logged at level 0.
  bool setDisplayMode(int width, int height);

  // Creates the wanted "_kwo" modes that are missing and deletes the unused
  // ones that are no longer wanted. `extra` (used when its width is at
  // least 1) is wanted too.
  void syncModes(std::optional<Size> extra = std::nullopt);

  // "WxH": two signed 32-bit decimals around an "x", nothing else.
  static std::optional<Size> parseSize(std::string_view text);
  // The wanted mode names, each mapped to false: "<entry>_kwo" for every
  // entry of `randr` that parses as a size (entries are taken without the
  // blanks around them), and "<W>x<H>_kwo" for `extra`.
  static std::map<std::string, bool> wantedModes(std::string_view randr,
                                                 std::optional<Size> extra);
  // None when the size is not positive or the timings overflow the
  // protocol's fields.
  static std::optional<Timings> timingsFor(int width, int height);

private:
  void parameterChanged(plat::ConfigParameter& parameter, int priority) override;

  Callback* callback_;
  bool supported_;
};

} // namespace svr
