#pragma once

// Which web pages may open a WebSocket to kwo-serve. A browser names the
// page that opens a WebSocket in the Origin header, and any page may try:
// without this check a page on any site could watch and drive the desktop
// through the user's browser. Allowed: no Origin at all (native clients send
// none), kwo-serve's own HTTP origin (http, a name the HTTP server is
// reached by: the listen address, or localhost / 127.0.0.1 / [::1] when it
// listens on loopback or everywhere, and the HTTP port), and the origins
// given with -wsorigin. Everything else, "null" included, is refused.
// Origins are compared without regard to case, and with a default port
// (80 for http, 443 for https) made explicit.

#include <optional>
#include <string>
#include <vector>

namespace kwoserve {

class OriginPolicy {
public:
  OriginPolicy() = default;
  OriginPolicy(const std::string& listenAddress, int httpPort,
               const std::vector<std::string>& extraOrigins);

  // `origin`: the Origin header's value, none when the request had none.
  bool allows(const std::optional<std::string>& origin) const;
  // Lower case, default port explicit, no trailing slash; "" when it is not
  // "scheme://host[:port]".
  static std::string normalise(const std::string& origin);

private:
  std::vector<std::string> allowed_;
};

} // namespace kwoserve
