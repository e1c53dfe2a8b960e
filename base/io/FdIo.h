#pragma once

// A connection on one descriptor: an input and an output stream driven by
// the thread's descriptor manager, and the orderly end of the connection.
//
// States: open -> half-closing (the sending direction is closed once the
// output buffer is empty) -> shutting down. A shutting-down FdIo destroys
// itself: when its shutdown timer fires (after the buffer drained, the lazy
// flush period ran out, or at once without flush), or when its manager is
// destroyed first. FdIo objects must therefore live on the heap, and whoever
// calls shutdown must have released its ownership first (io::Io::shutdown).
//
// Interest invariant: readInterest_/writeInterest_ are what the manager was
// last told; both are false while no manager is remembered.

#include "base/io/FdHandler.h"
#include "base/io/FdStreamSettings.h"
#include "base/io/Io.h"
#include "base/plat/Timer.h"
#include "base/rdr/FdOutStream.h"

#include <memory>
#include <string>

namespace rdr {
class FdInStream;
}

namespace io {

class FdManager;

class FdIo : public Io,
             private plat::Timer::Callback,
             private rdr::FdOutStream::Callback,
             private FdHandler {
public:
  enum State { open = 0, halfClosing = 1, shuttingDown = 2 };

  // fd -1 makes an FdIo without descriptor (see setFd). ownsFd closes it on
  // destruction. writeReady asks for one writeReady callback once a handler
  // is attached and the descriptor can take data.
  explicit FdIo(int fd = -1, bool ownsFd = true, bool writeReady = false,
                const FdStreamSettings& in = {}, const FdStreamSettings& out = {},
                bool makeNonBlocking = true);
  ~FdIo() override;

  // Gives a descriptor to an FdIo made without one.
  void setFd(int fd, bool ownsFd, const FdStreamSettings& in = {}, const FdStreamSettings& out = {},
             bool makeNonBlocking = true);

  rdr::InStream& inStream() override;
  rdr::OutStream& outStream() override;
  rdr::FdInStream& fdInStream() { return *in_; }
  rdr::FdOutStream& fdOutStream() { return *out_; }
  int getFd() const { return fd(); }
  State state() const { return state_; }

  // A handler needs a current io::FdManager on the calling thread, unless one
  // is remembered already.
  void setHandler(IoHandler* handler, bool wantRead = true) override;
  // Without a manager (never registered) the shutdown is immediate: the
  // object is destroyed inside this call, and tellHandler must be false.
  void shutdown(bool flush, bool tellHandler) override;
  using Io::shutdown;
  void requestRead() override;
  int beginHalfClose() override;
  const std::string& name() override;

  // The descriptor's pending socket error (SO_ERROR), read once and then
  // kept. Throws plat::SystemException "getsockopt".
  int socketError();

  // The lazy flush period: "LazyFlushTimeout" seconds in milliseconds, at
  // most INT_MAX.
  static int lazyFlushPeriodMs();
  static int lazyFlushPeriodMs(int seconds);

private:
  // FdHandler
  void handleRead() override;
  void handleWrite() override;
  void fdManagerGone() override;
  // plat::Timer::Callback
  bool timerFired(plat::Timer& timer) override;
  // rdr::FdOutStream::Callback
  void outputPending(rdr::FdOutStream& stream) override;
  void outputDrained(rdr::FdOutStream& stream) override;
  void halfCloseRequested(rdr::FdOutStream& stream) override;

  void flushTimerFired();
  void shutdownTimerFired();
  // shutdownComplete on a handler that is still attached; its failure is
  // logged, never propagated: the object goes away regardless.
  void tellShutdownComplete();
  void setInterest(bool read, bool write);
  void switchStreams(bool nonBlocking);
  void closeSendingDirection();
  // The end of a self-owned object.
  void destroySelf();

  std::unique_ptr<rdr::FdInStream> in_;
  std::unique_ptr<rdr::FdOutStream> out_;
  bool ownsFd_ = false;
  bool writeReadyRequested_;
  FdManager* manager_ = nullptr;
  std::string name_;
  IoHandler* handler_ = nullptr;
  plat::Timer flushTimer_;
  plat::Timer shutdownTimer_;
  int socketError_ = -1;
  bool readInterest_ = false;
  bool writeInterest_ = false;
  State state_ = open;
  // shutdown(SHUT_WR) done; a second one would fail on some descriptors.
  bool sendingClosed_ = false;
};

} // namespace io
