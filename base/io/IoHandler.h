#pragma once

// The user of an io::Io: told when data can be read, when the descriptor can
// take more, and when a shutdown has finished. Not owned by the Io.

namespace io {

class Io;

class IoHandler {
public:
  // Bytes are waiting in (or can be read into) the Io's input stream.
  // rdr::BlockException means "nothing more for now"; any other
  // plat::Exception shuts the connection down.
  virtual void dataAvailable(Io& io) = 0;
  // The output side can take data (a requested write-ready notice, or the
  // buffer has just emptied).
  virtual void writeReady(Io& io) {}
  // A shutdown that was to tell this handler has completed; the Io is
  // destroyed right after this returns.
  virtual void shutdownComplete(Io& io) {}
  virtual ~IoHandler() = default;
};

} // namespace io
