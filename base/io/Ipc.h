#pragma once

// A connected byte channel with a name, as seen by the message layer: the
// connection (an io::Io, owned while connected) and its streams, or a
// discarding output stream while there is no connection. Receive errors end
// the connection and are reported to the callback.
//
// Modes: event-driven (the default) attaches itself as the connection's
// handler, so the loop reports incoming data, and reads are restartable
// (rewind-on-block); synchronous mode attaches nothing and leaves the
// connection's streams blocking.

#include "base/io/IoAcceptor.h"
#include "base/io/IoHandler.h"
#include "base/rdr/NullOutStream.h"

#include <memory>
#include <string>

namespace plat {
class Exception;
}

namespace rdr {
class InStream;
class OutStream;
} // namespace rdr

namespace io {

class Io;

class Ipc : public IoAcceptor, private IoHandler {
public:
  class Callback {
  public:
    // Data can be read from inStream(). rdr::BlockException means "nothing
    // more now"; any other plat::Exception ends the connection.
    virtual void dataAvailable(Ipc& ipc) = 0;
    // The connection ended (by the peer, an error or the transport); the
    // channel is unconnected again.
    virtual void ipcClosed(Ipc& ipc) = 0;
    // A receive error, reported before the connection is ended.
    virtual void ipcError(Ipc& ipc, const plat::Exception& e) = 0;

  protected:
    ~Callback() = default;
  };

  // `callback` is not owned and must outlive this object.
  Ipc(std::string name, Callback& callback, bool synchronous = false);
  ~Ipc() override;

  // Takes over the connection; asserts that none is held.
  void accept(std::unique_ptr<Io> io) override;
  // Ends the connection without telling the callback: with flush-on-close
  // the output is written out first (a failure is logged). Nothing happens
  // when unconnected.
  void close();

  bool connected() const { return io_ != nullptr; }
  const std::string& name() const { return name_; }
  bool synchronous() const { return synchronous_; }
  void setFlushOnClose(bool flag) { flushOnClose_ = flag; }

  // The connection's input stream; null while unconnected.
  rdr::InStream* inStream() const { return in_; }
  // The connection's output stream, or the discarding stream while unconnected.
  rdr::OutStream& outStream() const { return *out_; }

private:
  // IoHandler
  void dataAvailable(Io& io) override;
  void shutdownComplete(Io& io) override;

  // Streams back to "unconnected".
  void unbind();
  // Ends the connection after a receive error.
  void closeAfterError();

  std::string name_;
  Callback& callback_;
  std::unique_ptr<Io> io_;
  rdr::InStream* in_ = nullptr;
  rdr::OutStream* out_;
  rdr::NullOutStream discard_;
  bool synchronous_;
  bool flushOnClose_ = false;
};

} // namespace io
