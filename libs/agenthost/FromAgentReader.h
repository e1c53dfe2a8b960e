#pragma once

// The server's reader of the agent's messages (see FromAgentMsgs.h).
// Registers one reader entry per message name on the channel and hands
// every completed message to the handlers, in the order they were added.
// Ownership, threading and failures as for MsgDispatcher; handlers are not
// owned and must outlive the reader or be removed first.

#include "libs/agenthost/FromAgentHandler.h"
#include "libs/agenthost/MsgDispatcher.h"

#include <vector>

namespace agenthost {

class FromAgentReader : public MsgDispatcher {
public:
  explicit FromAgentReader(io::MsgIpc& channel);

  void addHandler(FromAgentHandler& handler);
  void removeHandler(FromAgentHandler& handler);

private:
  std::vector<FromAgentHandler*> handlers_;
};

} // namespace agenthost
