#pragma once

// Starts the agent binary on a display through libs/agenthost, as a server
// would, and waits for its greeting; then asks for every log line, which
// the agent holds back until the server names a level.

#include "libs/agenthost/AgentProcess.h"
#include "libs/agentmsg/ToAgentMsgs.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

using AgentParams = std::vector<std::pair<std::string, std::string>>;

// Throws std::runtime_error when the greeting does not come within
// `deadlineMs`. `handler` is not owned and must outlive the agent.
inline std::unique_ptr<agenthost::AgentProcess> launchAgent(const std::string& display,
                                                           AgentParams params,
                                                           agenthost::FromAgentHandler& handler,
                                                           int deadlineMs) {
  agenthost::AgentLaunch launch;
  launch.agentPath = KWO_AGENT_PATH;
  launch.display = display;
  launch.params = std::move(params);
  auto agent = std::make_unique<agenthost::AgentProcess>(launch, &handler);
  if (!agent->waitForMsg("initRectAndPf", deadlineMs))
    throw std::runtime_error("the agent did not greet: " + agent->failure());
  agent->send(agentmsg::SetLogLevel{200});
  return agent;
}

} // namespace e2e
