#pragma once

// Anything that owns a descriptor and wants readiness callbacks from the
// thread's descriptor manager (io::FdManager). The handler registers itself
// and sets its interest; the manager never owns it.

namespace io {

class FdHandler {
public:
  virtual ~FdHandler() = default;

  // The descriptor waited on; -1 when there is none.
  int fd() const { return fd_; }

  // The descriptor is readable (or has an exceptional condition), or a read
  // pass was requested.
  virtual void handleRead() = 0;
  // The descriptor is writable, or a write pass was requested.
  virtual void handleWrite() = 0;
  // The manager is being destroyed while this handler is still registered; it
  // has already been taken out. The handler may destroy itself here.
  virtual void fdManagerGone() {}

protected:
  explicit FdHandler(int fd = -1) : fd_(fd) {}

  int fd_;
};

} // namespace io
