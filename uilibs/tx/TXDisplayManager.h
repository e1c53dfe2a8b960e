#pragma once

// Puts the toolkit's X connection into the thread's event loop: opens the
// process-wide display (the name from $DISPLAY) and registers its descriptor
// for readability. Readability only ends the loop's wait; the loop itself
// reads and dispatches the queued events before every wait.

#include "base/io/IoHandler.h"

#include <memory>

namespace io {
class FdIo;
}

namespace tx {

class TXDisplayManager : public io::IoHandler {
public:
  // Needs a current io::FdManager. Throws plat::Exception when the display
  // cannot be opened.
  TXDisplayManager();
  // Shuts the descriptor's entry down without flushing or telling this
  // handler; the connection itself stays open for the rest of the process.
  ~TXDisplayManager() override;
  TXDisplayManager(const TXDisplayManager&) = delete;
  TXDisplayManager& operator=(const TXDisplayManager&) = delete;

  // The descriptor being watched.
  int fd() const { return fd_; }

  void dataAvailable(io::Io& io) override;

private:
  std::unique_ptr<io::FdIo> entry_;
  int fd_ = -1;
};

} // namespace tx
