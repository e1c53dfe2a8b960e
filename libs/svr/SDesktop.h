#pragma once

// What the protocol end calls on the desktop: input from the viewers, start
// and stop of capture, update requests and the framebuffer's geometry. All
// calls happen on the loop thread.

#include "base/rfb/PixelFormat.h"
#include "base/rfb/Point.h"
#include "base/rfb/Rect.h"

#include <cstdint>
#include <string_view>

namespace svr {

class SServer;

class SDesktop {
public:
  virtual ~SDesktop() = default;

  // Input is passed on whether or not the desktop is started.
  virtual void keyEvent(uint32_t keysym, bool down) = 0;
  // `relative`: the position is a movement, not a place on the screen.
  virtual void pointerEvent(const rfb::Point& position, uint32_t buttonMask, bool relative) = 0;
  // Text that a viewer put on its clipboard (valid for the call only).
  virtual void clientCutText(std::string_view text) = 0;

  // Starts capturing and reporting to `server` (not owned; it outlives the
  // started state). A plat::Exception means the desktop could not start and
  // stays stopped.
  virtual void start(SServer& server) = 0;
  // Stops capturing; the server is not called again until the next start.
  virtual void stop() = 0;
  // The server wants an update; it is delivered through SServer::fbUpdate
  // once there is something to send.
  virtual void requestUpdate() = 0;

  // The framebuffer rectangle (the whole screen).
  virtual rfb::Rect getRect() = 0;
  // The framebuffer's native format into `pf`; false when it cannot be told
  // (`pf` is then left as it was).
  virtual bool getPF(rfb::PixelFormat& pf) = 0;

protected:
  SDesktop() = default;
  SDesktop(const SDesktop&) = delete;
  SDesktop& operator=(const SDesktop&) = delete;
};

} // namespace svr
