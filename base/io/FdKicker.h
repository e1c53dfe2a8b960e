#pragma once

// A self-pipe that wakes the loop: `kick` writes one byte from any thread or
// from a signal handler, and the loop thread then hands the pipe's bytes to
// the callback. Must be constructed on a thread that has a current
// io::FdManager; it registers there with read interest.

#include "base/io/FdHandler.h"
#include "base/io/UniqueFd.h"

#include <cstdint>
#include <memory>

namespace rdr {
class FdInStream;
}

namespace io {

class FdKickerCallback;
class FdManager;

class FdKicker : private FdHandler {
public:
  // The callback is not owned and must outlive the kicker. Throws
  // plat::SystemException when the pipe cannot be made; nothing is left open.
  explicit FdKicker(FdKickerCallback& callback);
  ~FdKicker() override;
  FdKicker(const FdKicker&) = delete;
  FdKicker& operator=(const FdKicker&) = delete;

  // One write() of one byte; async-signal-safe, thread-safe, keeps errno. A
  // failure is ignored: a full pipe already guarantees a wake-up.
  void kick(uint8_t byte) noexcept;

private:
  void handleRead() override;
  void handleWrite() override {}
  void fdManagerGone() override;

  UniqueFd readEnd_;
  FdKickerCallback& callback_;
  FdManager* manager_ = nullptr;
  UniqueFd writeEnd_;
  std::unique_ptr<rdr::FdInStream> in_;
};

} // namespace io
