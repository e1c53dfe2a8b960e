#pragma once

// A connection on a TCP socket (IPv4 or IPv6). Only the naming differs from
// a plain FdIo: log lines and peer descriptions show the remote address.

#include "base/io/FdIo.h"

#include <string>

namespace io {

class TcpIo : public FdIo {
public:
  // Takes over the connected socket `fd` (closed on destruction when owned).
  explicit TcpIo(int fd, bool ownsFd = true);

  // "<tcp-ADDRESS:PORT>", IPv6 addresses in brackets; "<fd%d>" while the
  // socket has no peer.
  const std::string& name() override;
  // "ADDRESS:PORT" as in the name, or empty.
  std::string peerAddress() override;

private:
  std::string name_;
};

} // namespace io
