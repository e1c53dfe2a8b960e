#pragma once

// What an agent (or a stand-in for one) reacts to: one operation per
// message from the server, called with the whole, parsed message. Every
// operation does nothing by default, so an implementer overrides only what
// it handles.
// Threading: called on the channel's loop thread only.

#include "libs/agenthost/ToAgentMsgs.h"

namespace agenthost {

class ToAgentHandler {
public:
  virtual ~ToAgentHandler() = default;

  virtual void start(const Start& msg) {}
  virtual void stop(const Stop& msg) {}
  virtual void fbUpdateRequest(const FbUpdateRequest& msg) {}
  virtual void pointerEvent(const PointerEvent& msg) {}
  virtual void keyEvent(const KeyEvent& msg) {}
  virtual void clientCutText(const ClientCutText& msg) {}
  virtual void setParams(const SetParams& msg) {}
  virtual void setXServerOwner(const SetXServerOwner& msg) {}
  virtual void setDisplayMode(const SetDisplayMode& msg) {}
  virtual void setMonitor(const SetMonitor& msg) {}
  virtual void setLogLevel(const SetLogLevel& msg) {}
};

} // namespace agenthost
