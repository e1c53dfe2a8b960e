#include "libs/agenthost/AgentLaunch.h"

#include "base/plat/Exception.h"
#include "base/plat/Format.h"

#include <algorithm>
#include <cstring>

namespace agenthost {

namespace {

bool hasControlByte(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return (unsigned char)c < 0x20; });
}

bool hasNul(const std::string& text) { return text.find('\0') != std::string::npos; }

void checkParamName(const std::string& name) {
  if (name.empty() || name[0] == '-' || name.find('=') != std::string::npos ||
      hasControlByte(name))
    throw plat::Exception(plat::format("Bad parameter name '%s' for the agent", name.c_str()));
}

void checkEnvName(const std::string& name) {
  if (name.empty() || name.find('=') != std::string::npos || hasNul(name))
    throw plat::Exception(plat::format("Bad environment name '%s' for the agent", name.c_str()));
}

void checkValue(const std::string& name, const std::string& value) {
  if (hasNul(value))
    throw plat::Exception(plat::format("Value of '%s' for the agent holds a NUL", name.c_str()));
}

std::string nameOf(const char* entry) {
  const char* eq = std::strchr(entry, '=');
  return eq ? std::string(entry, eq) : std::string(entry);
}

} // namespace

const char* AgentLaunch::modeWord(AgentMode mode) {
  switch (mode) {
  case AgentMode::user: return "user";
  case AgentMode::virtualDisplay: return "virtual";
  case AgentMode::service: return "service";
  }
  return "user";
}

std::vector<std::string> AgentLaunch::commandLine(const std::string& socketPath,
                                                  const std::string& hashHex) const {
  if (agentPath.empty())
    throw plat::Exception("No agent program given");
  // The agent takes a word starting with '-' for an option, not the socket.
  if (socketPath.empty() || socketPath[0] == '-' || hashHex.empty())
    throw plat::Exception("Bad socket path or hash for the agent");
  std::vector<std::string> argv{agentPath, modeWord(mode)};
  if (lppDebug)
    argv.push_back("-lppDebug");
  argv.push_back("-hash");
  argv.push_back(hashHex);
  argv.push_back(socketPath);
  for (const auto& [name, value] : params) {
    checkParamName(name);
    checkValue(name, value);
    argv.push_back(name + "=" + value);
  }
  return argv;
}

std::vector<std::string> AgentLaunch::environmentFor(const char* const* inherited) const {
  std::vector<std::pair<std::string, std::string>> overrides = environment;
  if (display)
    overrides.insert(overrides.begin(), {"DISPLAY", *display});
  for (const auto& [name, value] : overrides) {
    checkEnvName(name);
    checkValue(name, value);
  }
  auto overridden = [&](const std::string& name) {
    return std::any_of(overrides.begin(), overrides.end(),
                       [&](const auto& entry) { return entry.first == name; });
  };
  std::vector<std::string> env;
  if (inheritEnvironment && inherited) {
    for (const char* const* entry = inherited; *entry; entry++) {
      if (!overridden(nameOf(*entry)))
        env.push_back(*entry);
    }
  }
  // A later entry of the same name wins, as a later setenv would.
  for (size_t i = 0; i < overrides.size(); i++) {
    const auto& [name, value] = overrides[i];
    bool replacedLater = std::any_of(overrides.begin() + i + 1, overrides.end(),
                                     [&](const auto& entry) { return entry.first == name; });
    if (!replacedLater)
      env.push_back(name + "=" + value);
  }
  return env;
}

} // namespace agenthost
