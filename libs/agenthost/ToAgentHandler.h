#pragma once

// What an agent (or a stand-in for one) reacts to: one operation per
// message from the server, called with the whole, parsed message. Every
// operation does nothing by default, so an implementer overrides only what
// it handles.
// Threading: called on the channel's loop thread only.

#include "libs/agentmsg/ToAgentMsgs.h"

namespace agenthost {

class ToAgentHandler {
public:
  virtual ~ToAgentHandler() = default;

  virtual void start(const agentmsg::Start& msg) {}
  virtual void stop(const agentmsg::Stop& msg) {}
  virtual void fbUpdateRequest(const agentmsg::FbUpdateRequest& msg) {}
  virtual void pointerEvent(const agentmsg::PointerEvent& msg) {}
  virtual void keyEvent(const agentmsg::KeyEvent& msg) {}
  virtual void clientCutText(const agentmsg::ClientCutText& msg) {}
  virtual void setParams(const agentmsg::SetParams& msg) {}
  virtual void setXServerOwner(const agentmsg::SetXServerOwner& msg) {}
  virtual void setDisplayMode(const agentmsg::SetDisplayMode& msg) {}
  virtual void setMonitor(const agentmsg::SetMonitor& msg) {}
  virtual void setLogLevel(const agentmsg::SetLogLevel& msg) {}
};

} // namespace agenthost
