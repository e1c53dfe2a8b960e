#pragma once

// What a server reacts to: one operation per message from the agent,
// called with the whole, parsed message. Every operation does nothing by default, so an
// implementer overrides only what it handles.
// Threading: called on the channel's loop thread only.

#include "libs/agentmsg/FromAgentMsgs.h"

namespace agenthost {

class FromAgentHandler {
public:
  virtual ~FromAgentHandler() = default;

  virtual void init(const agentmsg::Init& msg) {}
  virtual void initRectAndPf(const agentmsg::InitRectAndPf& msg) {}
  virtual void setPixelBuffer(const agentmsg::SetPixelBuffer& msg) {}
  virtual void setColourMapEntries(const agentmsg::SetColourMapEntries& msg) {}
  virtual void fbUpdate(const agentmsg::FbUpdate& msg) {}
  virtual void setCursorImage(const agentmsg::SetCursorImage& msg) {}
  virtual void setCursorPos(const agentmsg::SetCursorPos& msg) {}
  virtual void bell(const agentmsg::Bell& msg) {}
  virtual void serverCutText(const agentmsg::ServerCutText& msg) {}
  virtual void localInput(const agentmsg::LocalInput& msg) {}
  virtual void setBlankRegion(const agentmsg::SetBlankRegion& msg) {}
  virtual void desktopFailure(const agentmsg::DesktopFailure& msg) {}
  virtual void closeClients(const agentmsg::CloseClients& msg) {}
  virtual void captureBroken(const agentmsg::CaptureBroken& msg) {}
  virtual void desktopUidChanged(const agentmsg::DesktopUidChanged& msg) {}
  virtual void monitorsUpdated(const agentmsg::MonitorsUpdated& msg) {}
  virtual void displayModesSupported(const agentmsg::DisplayModesSupported& msg) {}
  virtual void displayModesUpdated(const agentmsg::DisplayModesUpdated& msg) {}
  virtual void logMsg(const agentmsg::LogMsg& msg) {}
};

} // namespace agenthost
