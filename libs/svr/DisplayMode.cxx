#include "libs/svr/DisplayMode.h"

#include "libs/svr/RandrScreen.h"
#include "libs/svr/RandrSupport.h"

#include "base/plat/Exception.h"
#include "base/plat/LocKey.h"
#include "base/plat/LogSrc.h"
#include "base/plat/StringParameter.h"
#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/TXUtil.h"
#include "uilibs/tx/XErrorException.h"
#include "uilibs/tx/XrandrFns.h"

#include <charconv>
#include <climits>
#include <cstring>
#include <memory>
#include <vector>

namespace svr {

namespace {

plat::LogSrc vlog("DisplayMode");

plat::StringParameter randrParam(
  "RandR", plat::LocKey("svr_param_randr"), "");

const std::string_view modeSuffix = "_kwo";

// The protocol carries mode sizes and timings in 16 bits and the dot clock
// in 32 bits; Xlib silently truncates wider values.
constexpr uint64_t maxModeTiming = 0xffff;
constexpr uint64_t maxDotClock = 0xffffffff;

// Other clients see either the old or the new layout, never a CRTC half
// reconfigured.
class ServerGrab {
public:
  explicit ServerGrab(Display* dpy) : dpy_(dpy) { XGrabServer(dpy_); }
  ~ServerGrab() {
    XUngrabServer(dpy_);
    XFlush(dpy_);
  }
  ServerGrab(const ServerGrab&) = delete;
  ServerGrab& operator=(const ServerGrab&) = delete;

private:
  Display* dpy_;
};

struct FreeModeInfo {
  void operator()(XRRModeInfo* info) const { tx::XRRFreeModeInfo(info); }
};
using ModeInfoPtr = std::unique_ptr<XRRModeInfo, FreeModeInfo>;

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

std::optional<int> parseInt(std::string_view text) {
  if (!text.empty() && text.front() == '+')
    text.remove_prefix(1);
  int value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end)
    return std::nullopt;
  return value;
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string modeName(const XRRModeInfo& mode) {
  return std::string(mode.name ? mode.name : "", mode.nameLength);
}

// The first mode of the resources with exactly this size, whatever its name.
RRMode findMode(const RandrScreen& screen, int width, int height) {
  const XRRScreenResources* res = screen.resources();
  if (!res)
    return None;
  for (int i = 0; i < res->nmode; i++) {
    if (res->modes[i].width == unsigned(width) && res->modes[i].height == unsigned(height))
      return res->modes[i].id;
  }
  return None;
}

bool shownByAnyCrtc(const RandrScreen& screen, RRMode mode) {
  for (XID crtc : screen.crtcs()) {
    RandrScreen::CrtcInfoPtr info = screen.crtcInfo(crtc);
    if (info && info->mode == mode)
      return true;
  }
  return false;
}

void createMode(const RandrScreen& screen, const std::string& name) {
  std::optional<DisplayMode::Size> size = DisplayMode::parseSize(name.substr(0, name.find('_')));
  if (!size)
    return;
  std::optional<DisplayMode::Timings> timings = DisplayMode::timingsFor(size->width, size->height);
  if (!timings) {
    vlog.error("Cannot add mode %s: its size does not fit RandR's mode timings", name.c_str());
    return;
  }
  ModeInfoPtr info(tx::XRRAllocModeInfo(name.c_str(), int(name.size())));
  if (!info)
    return;
  info->width = timings->width;
  info->height = timings->height;
  info->dotClock = timings->dotClock;
  info->hSyncStart = timings->hSyncStart;
  info->hSyncEnd = timings->hSyncEnd;
  info->hTotal = timings->hTotal;
  info->vSyncStart = timings->vSyncStart;
  info->vSyncEnd = timings->vSyncEnd;
  info->vTotal = timings->vTotal;
  Display* dpy = tx::display();
  RRMode mode = tx::XRRCreateMode(dpy, RootWindow(dpy, DefaultScreen(dpy)), info.get());
  if (mode == None)
    return;
  std::vector<XID> outputs = screen.outputs();
  for (XID output : outputs)
    tx::XRRAddOutputMode(dpy, output, mode);
  vlog.info("Added mode %s to %d outputs", name.c_str(), int(outputs.size()));
}

void deleteMode(const RandrScreen& screen, const XRRModeInfo& mode) {
  Display* dpy = tx::display();
  std::vector<XID> outputs = screen.outputs();
  for (XID output : outputs)
    tx::XRRDeleteOutputMode(dpy, output, mode.id);
  tx::XRRDestroyMode(dpy, mode.id);
  vlog.info("Deleted mode %s from %d outputs", modeName(mode).c_str(), int(outputs.size()));
}

// The screen size and every CRTC's configuration as they were, so that a
// change the server refuses half-way can be undone. Every request is checked:
// XRRSetCrtcConfig answers with a status (a refused one reads as "failed"),
// and an error of XRRSetScreenSize shows once the server has been waited for.
class CrtcLayout {
public:
  explicit CrtcLayout(const RandrScreen& screen) : screen_(screen), size_(rootSize()) {
    for (XID crtc : screen.crtcs()) {
      if (RandrScreen::CrtcInfoPtr info = screen.crtcInfo(crtc))
        saved_.push_back({crtc, info->x, info->y, info->mode, info->rotation,
                          std::vector<RROutput>(info->outputs, info->outputs + info->noutput)});
    }
  }

  // Every CRTC that drives outputs shows `mode` at its old place, on a
  // screen of `size`. False at the first request refused.
  bool apply(RRMode mode, DisplayMode::Size size) {
    // CRTCs must be off while the screen shrinks below what they show.
    if (!allOff() || !setScreenSize(size))
      return false;
    for (const Crtc& crtc : saved_) {
      // A CRTC without outputs cannot show a mode; it stays off, as it was.
      if (!crtc.outputs.empty() && !setCrtc(crtc, mode))
        return false;
    }
    return true;
  }

  // Back to the saved layout, as far as the server lets it.
  void restore() {
    bool done = allOff() && (!resized_ || setScreenSize(*size_));
    for (const Crtc& crtc : saved_) {
      if (crtc.mode != None && !crtc.outputs.empty())
        done = setCrtc(crtc, crtc.mode) && done;
    }
    if (!done)
      vlog.error("The screen layout could not be fully restored");
  }

private:
  struct Crtc {
    XID id;
    int x, y;
    RRMode mode;
    Rotation rotation;
    std::vector<RROutput> outputs;
  };

  static std::optional<DisplayMode::Size> rootSize() {
    Display* dpy = tx::display();
    Window root = 0;
    int x = 0, y = 0;
    unsigned width = 0, height = 0, border = 0, depth = 0;
    tx::ErrorCatcher catcher(100);
    if (!XGetGeometry(dpy, RootWindow(dpy, DefaultScreen(dpy)), &root, &x, &y, &width, &height,
                      &border, &depth))
      return std::nullopt;
    return DisplayMode::Size{int(width), int(height)};
  }

  bool allOff() {
    for (const Crtc& crtc : saved_) {
      if (!setCrtc(crtc, None))
        return false;
    }
    return true;
  }

  // Off (`mode` None, no outputs) or on with the CRTC's own outputs.
  bool setCrtc(const Crtc& crtc, RRMode mode) {
    std::vector<RROutput> outputs = mode == None ? std::vector<RROutput>() : crtc.outputs;
    tx::ErrorCatcher catcher(100);
    Status status = tx::XRRSetCrtcConfig(tx::display(), screen_.resources(), crtc.id, CurrentTime,
                                         crtc.x, crtc.y, mode, crtc.rotation, outputs.data(),
                                         int(outputs.size()));
    // The reply has been read, and with it any error.
    return status == RRSetConfigSuccess && catcher.errorCode() == 0;
  }

  // At 96 dots per inch, as every size this component sets.
  bool setScreenSize(DisplayMode::Size size) {
    if (!size_)
      return false;
    Display* dpy = tx::display();
    tx::ErrorCatcher catcher(100);
    tx::XRRSetScreenSize(dpy, RootWindow(dpy, DefaultScreen(dpy)), size.width, size.height,
                         int(size.width * 25.4 / 96), int(size.height * 25.4 / 96));
    try {
      catcher.check();
    } catch (const tx::XErrorException&) {
      return false;
    }
    resized_ = true;
    return true;
  }

  const RandrScreen& screen_;
  std::optional<DisplayMode::Size> size_;
  std::vector<Crtc> saved_;
  bool resized_ = false;
};

} // namespace

DisplayMode::DisplayMode(Callback* callback)
  : callback_(callback), supported_(RandrSupport::supported(true)) {
  randrParam.addCallback(this);
  // Modes left by an agent that died are deleted (unless shown), and those
  // the parameter already asks for are made.
  syncModes();
}

DisplayMode::~DisplayMode() {
  randrParam.removeCallback(this);
}

void DisplayMode::parameterChanged(plat::ConfigParameter&, int) {
  // Without RandR the mode list cannot change, so there is nothing to tell.
  if (!supported_)
    return;
  syncModes();
  if (callback_)
    callback_->displayModesUpdated();
}

std::optional<DisplayMode::Size> DisplayMode::parseSize(std::string_view text) {
  size_t x = text.find('x');
  if (x == std::string_view::npos)
    return std::nullopt;
  std::optional<int> width = parseInt(text.substr(0, x));
  std::optional<int> height = parseInt(text.substr(x + 1));
  if (!width || !height)
    return std::nullopt;
  return Size{*width, *height};
}

std::map<std::string, bool> DisplayMode::wantedModes(std::string_view randr,
                                                     std::optional<Size> extra) {
  std::map<std::string, bool> wanted;
  while (!randr.empty()) {
    size_t comma = randr.find(',');
    std::string_view entry = trimBlanks(randr.substr(0, comma));
    if (parseSize(entry))
      wanted.emplace(std::string(entry) + std::string(modeSuffix), false);
    if (comma == std::string_view::npos)
      break;
    randr.remove_prefix(comma + 1);
  }
  if (extra && extra->width >= 1) {
    std::string name = std::to_string(extra->width) + "x" + std::to_string(extra->height);
    wanted.emplace(name + std::string(modeSuffix), false);
  }
  return wanted;
}

std::optional<DisplayMode::Timings> DisplayMode::timingsFor(int width, int height) {
  if (width <= 0 || height <= 0)
    return std::nullopt;
  uint64_t hTotal = uint64_t(width) + 6;
  uint64_t vTotal = uint64_t(height) + 6;
  uint64_t dotClock = hTotal * vTotal * 60;
  if (hTotal > maxModeTiming || vTotal > maxModeTiming || dotClock > maxDotClock)
    return std::nullopt;
  unsigned w = unsigned(width);
  unsigned h = unsigned(height);
  return Timings{w, h, w + 2, w + 4, w + 6, h + 2, h + 4, h + 6, dotClock};
}

void DisplayMode::syncModes(std::optional<Size> extra) {
  if (!supported_)
    return;
  std::map<std::string, bool> wanted = wantedModes(randrParam.getValue(), extra);
  try {
    ServerGrab grab(tx::display());
    RandrScreen screen;
    if (!screen.valid())
      return;
    tx::ErrorCatcher catcher(100);
    const XRRScreenResources* res = screen.resources();
    for (int i = 0; i < res->nmode; i++) {
      auto entry = wanted.find(modeName(res->modes[i]));
      if (entry != wanted.end())
        entry->second = true;
    }
    for (const auto& [name, exists] : wanted) {
      if (!exists)
        createMode(screen, name);
    }
    for (int i = 0; i < res->nmode; i++) {
      const XRRModeInfo& mode = res->modes[i];
      std::string name = modeName(mode);
      if (!endsWith(name, modeSuffix) || wanted.count(name) || shownByAnyCrtc(screen, mode.id))
        continue;
      deleteMode(screen, mode);
    }
  } catch (const plat::Exception& e) {
    // A RandR function missing from the library: nothing can be done.
    vlog.error("%s", e.describe().c_str());
  }
}

bool DisplayMode::setDisplayMode(int width, int height) {
  if (width <= 0 || height <= 0 || !supported_)
    return false;
  vlog.info("Setting display mode to %dx%d", width, height);
  try {
    RandrScreen screen;
    RRMode mode = findMode(screen, width, height);
    if (mode == None) {
      syncModes(Size{width, height});
      screen = RandrScreen();
      mode = findMode(screen, width, height);
    }
    if (mode == None) {
      vlog.error("Unable to set display mode to %dx%d", width, height);
      return false;
    }
    Display* dpy = tx::display();
    ServerGrab grab(dpy);
    CrtcLayout layout(screen);
    if (layout.apply(mode, Size{width, height}))
      return true;
    vlog.error("Unable to set display mode");
    layout.restore();
  } catch (const plat::Exception& e) {
    vlog.error("%s", e.describe().c_str());
  }
  return false;
}

} // namespace svr
