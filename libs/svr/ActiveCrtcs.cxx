#include "libs/svr/ActiveCrtcs.h"

#include "base/plat/Exception.h"
#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/XrandrFns.h"

#include <memory>

namespace svr {

namespace {

struct ResourcesDeleter {
  void operator()(XRRScreenResources* res) const { tx::XRRFreeScreenResources(res); }
};
struct CrtcInfoDeleter {
  void operator()(XRRCrtcInfo* info) const { tx::XRRFreeCrtcInfo(info); }
};
using ResourcesPtr = std::unique_ptr<XRRScreenResources, ResourcesDeleter>;
using CrtcInfoPtr = std::unique_ptr<XRRCrtcInfo, CrtcInfoDeleter>;

} // namespace

std::vector<rfb::Rect> ActiveCrtcs::rects(Display* dpy, Window root) {
  tx::ErrorCatcher catcher(100);
  ResourcesPtr res(tx::XRRGetScreenResources(dpy, root));
  catcher.check("XRRGetScreenResources");
  if (!res)
    throw plat::Exception("XRRGetScreenResources failed");

  std::vector<rfb::Rect> found;
  for (int i = 0; i < res->ncrtc; i++) {
    CrtcInfoPtr crtc(tx::XRRGetCrtcInfo(dpy, res.get(), res->crtcs[i]));
    if (!crtc)
      throw plat::Exception("XRRGetCrtcInfo failed");
    if (crtc->noutput <= 0)
      continue;
    found.push_back(rfb::Rect::fromXYWH(crtc->x, crtc->y, int(crtc->width), int(crtc->height)));
  }
  catcher.check("XRRGetCrtcInfo");
  return found;
}

rfb::Region ActiveCrtcs::region(Display* dpy, Window root) {
  std::vector<rfb::Rect> all = rects(dpy, root);
  return rfb::Region(all);
}

} // namespace svr
