#pragma once

// A connection on a Unix-domain stream socket. The kernel vouches for the
// peer of such a socket (it is on this machine, and its user id is known),
// so the connection counts as a secure transport.
//
// The endpoint name is fixed at construction: "<unix-SIDE-PATH[-uid-UID]>",
// SIDE "client" for a connection this side opened and "server" for one it
// was handed, PATH the socket path or "anon", UID the peer's user id when
// the kernel reports peer credentials.

#include "base/io/FdIo.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace os {

class UnixIo : public io::FdIo {
public:
  // Takes over the connected socket `fd` (closed on destruction, also when
  // this constructor throws). `client` tells which side opened it; `path`
  // is the socket path when known.
  UnixIo(int fd, bool client, const std::optional<std::string>& path = std::nullopt);

  // Opens a connection to the socket listening at `path`. Throws
  // plat::SystemException "UnixIo" (ENAMETOOLONG) for a path that does not
  // fit a socket address, "socket" or "connect" when those calls fail.
  static std::unique_ptr<UnixIo> connectTo(const std::string& path);

  const std::string& name() override;
  // "[unix:PATH]" when the peer's address is a path, otherwise empty.
  // Worked out on the first call.
  std::string peerAddress() override;
  bool hasProperty(std::string_view property) const override;

  // The peer's user id as the kernel reported it at construction.
  std::optional<uid_t> peerUid() const { return peerUid_; }

private:
  std::string name_;
  std::optional<uid_t> peerUid_;
  std::optional<std::string> peerAddress_;
};

} // namespace os
