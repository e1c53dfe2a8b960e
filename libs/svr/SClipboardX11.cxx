#include "libs/svr/SClipboardX11.h"

#include "uilibs/tx/TXClipboardMgr.h"

#include "base/plat/BoolParameter.h"
#include "base/plat/IntParameter.h"
#include "base/plat/LocKey.h"

#include <climits>

namespace svr {

namespace {

plat::IntParameter pollTime("poll", plat::LocKey("svr_param_sclipboardx11_polltime"), 0, 0,
                            INT_MAX);
plat::BoolParameter sendPrimaryParam("SendPrimary",
                                     plat::LocKey("svr_param_sclipboardx11_sendprimary"), true);

} // namespace

SClipboardX11::SClipboardX11(Callback& callback)
  : callback_(callback),
    mgr_(std::make_unique<tx::TXClipboardMgr>(
      static_cast<tx::TXClipboardWindow::Callback&>(*this), int32_t(pollTime))) {}

SClipboardX11::~SClipboardX11() = default;

void SClipboardX11::setMonitoring(bool on) {
  mgr_->setMonitoring(on);
}

bool SClipboardX11::monitoring() const {
  return mgr_->monitoring();
}

void SClipboardX11::setCutText(std::string_view text) {
  // An empty text is still a text to offer, not the absence of one.
  mgr_->setCutText(text.size(), text.data() ? text.data() : "");
}

bool SClipboardX11::sendPrimary() {
  return sendPrimaryParam;
}

void SClipboardX11::cutTextChanged(std::string_view text, bool initial) {
  // The text on the desktop when the agent started is only the reference
  // for repeats; the viewers did not ask for it.
  if (initial)
    return;
  callback_.serverCutText(text);
}

void SClipboardX11::cutTextUnchanged(bool, bool, bool) {}

} // namespace svr
