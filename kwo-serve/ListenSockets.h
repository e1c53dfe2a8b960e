#pragma once

// The listening TCP sockets of one kwo-serve port: the listen address, and
// beside an IPv4 address the IPv6 loopback (or, beside an IPv6 address, the
// IPv4 loopback), tried but not required. Sockets are non-blocking and
// close-on-exec, so that no child program holds our ports.
//
// accept() hands out only descriptors below a safe limit: LibVNCServer and
// our loop wait with select(), which cannot hold descriptors at or above
// FD_SETSIZE (glibc aborts), so a connection that gets such a descriptor is
// closed at once.
//
// Ownership: owns the listening sockets; accepted descriptors belong to the
// caller.
// Failures: the constructor throws plat::Exception when the address is not
// an address or its port cannot be opened.

#include "base/io/UniqueFd.h"

#include <string>
#include <sys/select.h>
#include <vector>

namespace kwoserve {

class ListenSockets {
public:
  // `what` names the port in messages ("RFB", "HTTP").
  ListenSockets(const std::string& address, int port, const std::string& what);
  ListenSockets(ListenSockets&&) = default;
  ListenSockets& operator=(ListenSockets&&) = default;

  std::vector<int> descriptors() const;
  int port() const { return port_; }
  // A new connection from `listener`: a non-blocking, close-on-exec socket,
  // or -1 when none is waiting (connections beyond the descriptor limit are
  // closed and skipped).
  static int accept(int listener);
  // Descriptors from this one on are never handed out.
  static constexpr int descriptorLimit = FD_SETSIZE - 64;
  // The peer's address as text ("127.0.0.1", "::1"); "?" when unknown.
  static std::string peerAddress(int fd);

private:
  std::vector<io::UniqueFd> sockets_;
  int port_;
};

} // namespace kwoserve
