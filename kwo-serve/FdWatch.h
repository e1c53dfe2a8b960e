#pragma once

// Read readiness of a descriptor someone else owns (LibVNCServer's sockets,
// a signalfd), reported to a function from the thread's descriptor manager.
// Registers on construction, unregisters on destruction; never closes the
// descriptor.

#include "base/io/FdHandler.h"

#include <functional>

namespace io {
class FdManager;
}

namespace kwoserve {

class FdWatch : private io::FdHandler {
public:
  FdWatch(int fd, std::function<void()> onReadable);
  ~FdWatch() override;
  FdWatch(const FdWatch&) = delete;
  FdWatch& operator=(const FdWatch&) = delete;

  int descriptor() const { return fd(); }

private:
  void handleRead() override;
  void handleWrite() override {}
  void fdManagerGone() override { manager_ = nullptr; }

  io::FdManager* manager_;
  std::function<void()> onReadable_;
};

} // namespace kwoserve
