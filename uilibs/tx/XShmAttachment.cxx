#include "uilibs/tx/XShmAttachment.h"

#include "uilibs/tx/ErrorCatcher.h"

#include "base/plat/Exception.h"

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>

namespace tx {

struct XShmAttachment::Info : XShmSegmentInfo {};

XShmAttachment::XShmAttachment(Display* dpy, int shmid, void* address)
  : dpy_(dpy), info_(std::make_unique<Info>()) {
  info_->shmid = shmid;
  info_->shmaddr = static_cast<char*>(address);
  info_->readOnly = False;
  info_->shmseg = 0;
  ErrorCatcher catcher(100);
  // XShmAttach reports success even when the server refuses: only the error
  // that comes back later tells.
  if (!XShmAttach(dpy_, info_.get()))
    throw plat::Exception("XShmAttach failed");
  catcher.check("XShmAttach failed");
}

XShmAttachment::~XShmAttachment() {
  XShmDetach(dpy_, info_.get());
  XSync(dpy_, False);
}

void* XShmAttachment::info() const {
  return static_cast<XShmSegmentInfo*>(info_.get());
}

} // namespace tx
