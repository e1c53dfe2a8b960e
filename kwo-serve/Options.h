#pragma once

// kwo-serve's command line. Every option has a safe default: listen on the
// loopback address only, RFB on port 5900 with WebSockets recognised on the
// same port, a virtual display when no display is named.

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kwoserve {

struct Options {
  // The display to serve ("user" mode); none starts a virtual one.
  std::optional<std::string> display;
  std::string listenAddress = "127.0.0.1";
  int port = 5900;
  // An extra port for WebSocket viewers; none means the RFB port alone
  // (which recognises WebSocket handshakes as well).
  std::optional<int> wsPort;
  // A folder served over HTTP on httpPort (for a browser viewer such as noVNC).
  std::optional<std::string> httpDir;
  int httpPort = 5800;
  std::optional<std::string> passwordFile;
  // Settings handed to the agent with "setParams".
  std::vector<std::pair<std::string, std::string>> params;
  // The agent's log level ("setLogLevel").
  int agentLogLevel = 30;
  std::string agentPath;
  // Size of the virtual display.
  int width = 1024;
  int height = 768;
  int depth = 24;
  std::string desktopName = "kwo-serve";
  bool help = false;

  // Parses argv (without the program name). Throws plat::Exception with a
  // message fit for the user for unknown options, missing or bad values.
  static Options parse(const std::vector<std::string>& args);
  static const char* usage();

  // Whether `address` only reaches this machine (127.0.0.0/8, ::1, localhost).
  static bool isLoopback(const std::string& address);
  // Throws plat::Exception when the settings are unsafe: a listener beyond
  // loopback without a password.
  void checkSafety() const;
};

} // namespace kwoserve
