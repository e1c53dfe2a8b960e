#pragma once

// Read (or write) readiness of a descriptor someone else owns (LibVNCServer's
// sockets, a signalfd), reported to a function from the thread's descriptor
// manager.
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
  enum class Kind { readable, writable };

  FdWatch(int fd, std::function<void()> onReady, Kind kind = Kind::readable);
  ~FdWatch() override;
  FdWatch(const FdWatch&) = delete;
  FdWatch& operator=(const FdWatch&) = delete;

  int descriptor() const { return fd(); }

private:
  void handleRead() override;
  void handleWrite() override { onReady_(); }
  void fdManagerGone() override { manager_ = nullptr; }

  io::FdManager* manager_;
  std::function<void()> onReady_;
};

} // namespace kwoserve
