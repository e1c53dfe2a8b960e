#pragma once

// The RandR screen resources of the root window of the toolkit display's
// default screen, owned for the life of this object, with scoped reads of
// CRTC and output information. Every read runs inside an X error catcher, so
// that a CRTC or output that vanished between two requests is a null result
// (logged at level 100), never Xlib's fatal default handler.
//
// Only for use once RandR is known to be usable (svr::RandrSupport); the
// library functions are called through the run-time loaded wrappers and a
// missing one throws plat::DynamicFnLoadFailed.

#include "uilibs/tx/XTypes.h"

#include "base/rfb/Rect.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

struct _XRRScreenResources;
struct _XRRCrtcInfo;
struct _XRROutputInfo;

namespace svr {

class RandrScreen {
public:
  struct FreeResources {
    void operator()(_XRRScreenResources* res) const;
  };
  struct FreeCrtcInfo {
    void operator()(_XRRCrtcInfo* info) const;
  };
  struct FreeOutputInfo {
    void operator()(_XRROutputInfo* info) const;
  };
  using ResourcesPtr = std::unique_ptr<_XRRScreenResources, FreeResources>;
  using CrtcInfoPtr = std::unique_ptr<_XRRCrtcInfo, FreeCrtcInfo>;
  using OutputInfoPtr = std::unique_ptr<_XRROutputInfo, FreeOutputInfo>;

  // A CRTC that drives at least one output: a monitor.
  struct Monitor {
    XID crtc;
    rfb::Rect rect;  // (x, y, x + width, y + height) in screen coordinates
    std::vector<XID> outputs;
  };

  // Takes the resources now; valid() is false when the server gave none.
  RandrScreen();

  bool valid() const { return res_ != nullptr; }
  // Null when !valid().
  _XRRScreenResources* resources() const { return res_.get(); }
  // The resources' CRTC and output ids, in resource order.
  std::vector<XID> crtcs() const;
  std::vector<XID> outputs() const;

  // Null when the server refuses (the CRTC or output went away).
  CrtcInfoPtr crtcInfo(XID crtc) const;
  OutputInfoPtr outputInfo(XID output) const;
  // The output's name, absent when it cannot be read.
  std::optional<std::string> outputName(XID output) const;

  // The CRTCs with at least one output, in resource order: monitor n is
  // element n - 1. CRTCs whose information cannot be read are skipped.
  std::vector<Monitor> monitors() const;

private:
  ResourcesPtr res_;
};

} // namespace svr
