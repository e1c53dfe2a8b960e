#include "uilibs/tx/TXDisplayManager.h"

#include "uilibs/tx/CutBufferEventHandler.h"
#include "uilibs/tx/TXUtil.h"

#include "base/io/FdIo.h"

#include <X11/Xlib.h>

namespace tx {

TXDisplayManager::TXDisplayManager() : entry_(std::make_unique<io::FdIo>()) {
  openDisplay(nullptr);
  CutBufferEventHandler::install();
  fd_ = ConnectionNumber(display());
  // Xlib does its own reading and writing on the socket: the entry only
  // watches it and must leave it blocking.
  entry_->setFd(fd_, false, {}, {}, false);
  entry_->setHandler(this, true);
}

TXDisplayManager::~TXDisplayManager() {
  io::Io::shutdown(std::move(entry_), false, false);
}

void TXDisplayManager::dataAvailable(io::Io&) {}

} // namespace tx
