#pragma once

// The display-mode component on the channel to the server: announces at
// construction whether display modes can be set ("displayModesSupported",
// U8 1 or 0), reads "setDisplayMode" (U32 width, U32 height), and sends
// "displayModesUpdated" (no payload) the first time the "RandR" parameter
// changes the mode list, never again. Sending failures are logged (level
// 30) and dropped.
//
// Every "setDisplayMode" that reaches the X server, whether the screen took
// the size or not, ends in a displayChanged() of the capture engine: while
// the desktop runs, the server then gets one "setPixelBuffer" (300 ms after
// the last layout change) whose rectangle is the size the screen has, the
// old one when the request was refused.

#include "libs/svr/DisplayChangeCallback.h"
#include "libs/svr/DisplayMode.h"

#include "base/io/MsgIpc.h"

namespace svr {

class AgentDisplayMode : public io::MsgIpc::Reader, private DisplayMode::Callback {
public:
  // Registers for "setDisplayMode" on `channel` and sends
  // "displayModesSupported". `channel` and `display` are not owned and must
  // outlive this object. The base class unregisters on destruction.
  AgentDisplayMode(io::MsgIpc& channel, DisplayChangeCallback& display);

  DisplayMode& displayMode() { return displayMode_; }
  bool updateSent() const { return updateSent_; }

  // Restartable: both numbers are read before anything happens. Sizes above
  // the signed 32-bit range are ignored like non-positive ones.
  bool readMsg(const std::string& name, rdr::FramedInStream& in, io::MsgIpc& channel) override;

private:
  void displayModesUpdated() override;

  io::MsgIpc& channel_;
  DisplayChangeCallback& display_;
  bool updateSent_ = false;
  DisplayMode displayMode_;
};

} // namespace svr
