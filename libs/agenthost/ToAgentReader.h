#pragma once

// The agent-side reader of the server's messages (see ToAgentMsgs.h), for
// stand-in agents and tests of servers.
// Registers one reader entry per message name on the channel and hands
// every completed message to the handlers, in the order they were added.
// Ownership, threading and failures as for MsgDispatcher; handlers are not
// owned and must outlive the reader or be removed first.

#include "libs/agenthost/ToAgentHandler.h"
#include "libs/agenthost/MsgDispatcher.h"

#include <vector>

namespace agenthost {

class ToAgentReader : public MsgDispatcher {
public:
  explicit ToAgentReader(io::MsgIpc& channel);

  void addHandler(ToAgentHandler& handler);
  void removeHandler(ToAgentHandler& handler);

private:
  std::vector<ToAgentHandler*> handlers_;
};

} // namespace agenthost
