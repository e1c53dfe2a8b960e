#include "libs/svr/RandrScreen.h"

#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/TXUtil.h"
#include "uilibs/tx/XrandrFns.h"

namespace svr {

void RandrScreen::FreeResources::operator()(_XRRScreenResources* res) const {
  tx::XRRFreeScreenResources(res);
}

void RandrScreen::FreeCrtcInfo::operator()(_XRRCrtcInfo* info) const {
  tx::XRRFreeCrtcInfo(info);
}

void RandrScreen::FreeOutputInfo::operator()(_XRROutputInfo* info) const {
  tx::XRRFreeOutputInfo(info);
}

RandrScreen::RandrScreen() {
  Display* dpy = tx::display();
  if (!dpy)
    return;
  tx::ErrorCatcher catcher(100);
  res_.reset(tx::XRRGetScreenResources(dpy, RootWindow(dpy, DefaultScreen(dpy))));
}

std::vector<XID> RandrScreen::crtcs() const {
  if (!res_)
    return {};
  return std::vector<XID>(res_->crtcs, res_->crtcs + res_->ncrtc);
}

std::vector<XID> RandrScreen::outputs() const {
  if (!res_)
    return {};
  return std::vector<XID>(res_->outputs, res_->outputs + res_->noutput);
}

RandrScreen::CrtcInfoPtr RandrScreen::crtcInfo(XID crtc) const {
  if (!res_)
    return nullptr;
  tx::ErrorCatcher catcher(100);
  return CrtcInfoPtr(tx::XRRGetCrtcInfo(tx::display(), res_.get(), crtc));
}

RandrScreen::OutputInfoPtr RandrScreen::outputInfo(XID output) const {
  if (!res_)
    return nullptr;
  tx::ErrorCatcher catcher(100);
  return OutputInfoPtr(tx::XRRGetOutputInfo(tx::display(), res_.get(), output));
}

std::optional<std::string> RandrScreen::outputName(XID output) const {
  OutputInfoPtr info = outputInfo(output);
  if (!info || !info->name)
    return std::nullopt;
  return std::string(info->name, size_t(info->nameLen));
}

std::vector<RandrScreen::Monitor> RandrScreen::monitors() const {
  std::vector<Monitor> found;
  for (XID crtc : crtcs()) {
    CrtcInfoPtr info = crtcInfo(crtc);
    if (!info || info->noutput <= 0)
      continue;
    found.push_back({crtc,
                     rfb::Rect::fromXYWH(info->x, info->y, int(info->width), int(info->height)),
                     std::vector<XID>(info->outputs, info->outputs + info->noutput)});
  }
  return found;
}

} // namespace svr
