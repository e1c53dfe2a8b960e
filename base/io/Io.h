#pragma once

// A connected byte channel: an input and an output stream driven by the
// loop, and an orderly shutdown. Connections are heap objects held by one
// owner through std::unique_ptr until they are shut down; from then on they
// own themselves and are destroyed when the shutdown completes.

#include <memory>
#include <string>
#include <string_view>

namespace rdr {
class InStream;
class OutStream;
} // namespace rdr

namespace io {

class IoHandler;

class Io {
public:
  virtual ~Io() = default;
  Io(const Io&) = delete;
  Io& operator=(const Io&) = delete;

  virtual rdr::InStream& inStream() = 0;
  virtual rdr::OutStream& outStream() = 0;

  // Attaches `handler` (not owned) with or without read interest, registering
  // with the thread's current loop; null detaches. Streams are non-blocking
  // while a handler is attached and blocking otherwise.
  virtual void setHandler(IoHandler* handler, bool wantRead = true) = 0;

  // Ends the connection, first writing what is buffered when `flush`, and
  // calls the handler's shutdownComplete when `tellHandler`. The object
  // belongs to itself from this call on: the caller must already have given
  // up ownership and must not touch it again. Prefer the static form, which
  // does exactly that.
  virtual void shutdown(bool flush, bool tellHandler) = 0;
  static void shutdown(std::unique_ptr<Io> io, bool flush, bool tellHandler) {
    io.release()->shutdown(flush, tellHandler);
  }

  // Asks for a dataAvailable pass although the descriptor may not be readable
  // (bytes already sit in the input buffer).
  virtual void requestRead() = 0;
  // Closes the sending direction once everything buffered is written. Returns
  // the previous state (0 open, 1 half-closing, 2 shutting down).
  virtual int beginHalfClose() = 0;

  // The endpoint name used in log lines.
  virtual const std::string& name() = 0;
  // A description of the peer; empty when there is nothing to say.
  virtual std::string peerAddress() { return {}; }
  // Named properties of the transport, such as "secureTransport".
  virtual bool hasProperty(std::string_view property) const { return false; }

protected:
  Io() = default;
};

} // namespace io
