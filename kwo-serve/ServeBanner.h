#pragma once

// The block kwo-serve prints on standard error once it serves: where the
// desktop is served, the password file, and commands a person can copy to
// connect (TigerVNC's vncviewer, vncsnapshot, a browser URL that connects
// straight away).

#include <optional>
#include <string>

namespace kwoserve {

struct ServeBanner {
  std::string display;
  std::string listenAddress;
  int port = 5900;
  // The HTTP port, when open.
  std::optional<int> httpPort;
  // Whether the HTTP folder holds noVNC's vnc.html.
  bool noVncPage = false;
  // Empty when viewers need no password.
  std::string password;
  // Whether the browser URL carries the password (logs in at once).
  bool passwordInUrl = true;
  std::string passwordFile;
  // The password in the obfuscated form of `vncviewer -passwd`.
  std::string vncPasswordFile;

  std::string text() const;
  // The host a viewer on this machine connects to for `listenAddress`.
  static std::string hostFor(const std::string& listenAddress);
};

} // namespace kwoserve
