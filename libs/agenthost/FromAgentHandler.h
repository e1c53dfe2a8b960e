#pragma once

// What a server reacts to: one operation per message from the agent,
// called with the whole, parsed message. Every operation does nothing by default, so an
// implementer overrides only what it handles.
// Threading: called on the channel's loop thread only.

#include "libs/agenthost/FromAgentMsgs.h"

namespace agenthost {

class FromAgentHandler {
public:
  virtual ~FromAgentHandler() = default;

  virtual void init(const Init& msg) {}
  virtual void initRectAndPf(const InitRectAndPf& msg) {}
  virtual void setPixelBuffer(const SetPixelBuffer& msg) {}
  virtual void setColourMapEntries(const SetColourMapEntries& msg) {}
  virtual void fbUpdate(const FbUpdate& msg) {}
  virtual void setCursorImage(const SetCursorImage& msg) {}
  virtual void setCursorPos(const SetCursorPos& msg) {}
  virtual void bell(const Bell& msg) {}
  virtual void serverCutText(const ServerCutText& msg) {}
  virtual void localInput(const LocalInput& msg) {}
  virtual void setBlankRegion(const SetBlankRegion& msg) {}
  virtual void desktopFailure(const DesktopFailure& msg) {}
  virtual void closeClients(const CloseClients& msg) {}
  virtual void captureBroken(const CaptureBroken& msg) {}
  virtual void desktopUidChanged(const DesktopUidChanged& msg) {}
  virtual void monitorsUpdated(const MonitorsUpdated& msg) {}
  virtual void displayModesSupported(const DisplayModesSupported& msg) {}
  virtual void displayModesUpdated(const DisplayModesUpdated& msg) {}
  virtual void logMsg(const LogMsg& msg) {}
};

} // namespace agenthost
