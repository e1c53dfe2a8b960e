#pragma once

// Everything needed to start one agent: which program, in which mode, on
// which display, with which parameter settings and environment. The command
// line it produces is
//   PROGRAM MODE [-lppDebug] -hash HEX SOCKET NAME=VALUE...
// and the environment is the caller's (when inherited) with DISPLAY and the
// extra entries put over it.
//
// A plain value; commandLine() and environment() validate it and throw
// plat::Exception for anything that could change the meaning of the command
// line or environment (see there).

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace agenthost {

enum class AgentMode { user, virtualDisplay, service };

struct AgentLaunch {
  std::string agentPath;
  AgentMode mode = AgentMode::user;
  // DISPLAY for the agent; none keeps whatever the environment has.
  std::optional<std::string> display;
  // Parameter settings, passed as NAME=VALUE.
  std::vector<std::pair<std::string, std::string>> params;
  // Extra environment entries; they replace inherited ones of the same name.
  std::vector<std::pair<std::string, std::string>> environment;
  bool inheritEnvironment = true;
  // The agent then appends its standard error to "/tmp/lppDebug.log".
  bool lppDebug = false;
  // Where the private socket directory is made.
  std::string socketBase = "/tmp";
  // How long the agent has to connect back.
  int connectTimeoutMs = 30000;
  // How long a terminated agent has to exit before it is killed.
  int terminateGraceMs = 5000;

  // "user", "virtual" or "service".
  static const char* modeWord(AgentMode mode);

  // argv, starting with agentPath. Throws plat::Exception for an empty
  // program path, a parameter name that is empty, starts with '-', or holds
  // '=' or a control byte (the agent would read it as another setting or an
  // option), a value with a NUL, or an empty socket path or hash.
  std::vector<std::string> commandLine(const std::string& socketPath,
                                       const std::string& hashHex) const;
  // "NAME=VALUE" entries. `inherited` is the caller's environment (null
  // terminated, may be null). Throws plat::Exception for a name that is
  // empty or holds '=' or NUL, or a value with a NUL.
  std::vector<std::string> environmentFor(const char* const* inherited) const;
};

} // namespace agenthost
