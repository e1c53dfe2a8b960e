#pragma once

// kwo-serve's command line. Every option has a safe default: listen on the
// loopback address only, RFB on port 5900, a password (generated when none
// is given), a virtual display when no display is named.

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
  // A port for WebSocket viewers only; they are also served on httpPort.
  std::optional<int> wsPort;
  // Web pages (origins) allowed to open a WebSocket besides our own.
  std::vector<std::string> wsOrigins;
  // A folder served over HTTP on httpPort (for a browser viewer such as noVNC).
  std::optional<std::string> httpDir;
  int httpPort = 5800;
  std::optional<std::string> passwordFile;
  // No password at all: only allowed on loopback.
  bool noPassword = false;
  // RFB and WebSocket viewers at once, those in their handshake included.
  int maxClients = 32;
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
  // Throws plat::Exception when the settings are unsafe or contradict:
  // -nopassword beyond loopback, or with -passwordfile.
  void checkSafety() const;
};

} // namespace kwoserve
