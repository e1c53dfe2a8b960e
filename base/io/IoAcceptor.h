#pragma once

// Anything that takes over a freshly connected io::Io (a listener's new
// connection, the launched-process pipe, a test's socket pair).

#include "base/io/Io.h"

#include <memory>

namespace io {

class IoAcceptor {
public:
  // Takes ownership of the connection.
  virtual void accept(std::unique_ptr<Io> io) = 0;

protected:
  ~IoAcceptor() = default;
};

} // namespace io
