#pragma once

// What the desktop side calls to tell the server about the screen: the
// buffer it captures into, updates, the cursor, clipboard text and failures.
// Implemented by the agent's protocol end, which turns each call into one
// message. Calls never throw, except fbUpdate when it cannot grab: a message
// that cannot be sent is logged and lost. All calls happen on the loop
// thread.

#include <string_view>

namespace plat {
class Exception;
}

namespace rfb {
class Cursor;
class PixelBuffer;
struct Point;
class Region;
} // namespace rfb

namespace svr {

struct CloseReason;
struct UpdateInfo;

class SServer {
public:
  virtual ~SServer() = default;

  // Announces the buffer the desktop captures into (not owned; it must stay
  // alive until replaced, and null says there is none). Announcing the same
  // buffer, segment, rectangle and format again sends nothing.
  virtual void setPixelBuffer(rfb::PixelBuffer* pb) = 0;
  // Sends `count` colour-map entries from `first` (count 0: up to the end of
  // the map). Only for colour-map buffers; otherwise nothing is sent.
  virtual void setColourMapEntries(int first, int count) = 0;
  // Text that the desktop's clipboard now holds.
  virtual void serverCutText(std::string_view text) = 0;
  virtual void bell() = 0;
  // True from the server's update request until fbUpdate is called.
  virtual bool isUpdateRequested() = 0;
  // The desktop cannot go on; the server is told the exception's text.
  virtual void desktopFailure(const plat::Exception& e) = 0;
  virtual void closeClients(const CloseReason& reason) = 0;
  // Grabs the pixels of both regions into the shared buffer, then names the
  // regions to the server. Ends the outstanding update request. A grab that
  // fails throws its plat::Exception: nothing is sent and the request stays
  // open, so that the caller can send the regions again.
  virtual void fbUpdate(const UpdateInfo& update) = 0;
  // The cursor image (not kept), or null for none.
  virtual void setCursorImage(const rfb::Cursor* cursor) = 0;
  virtual void setCursorPos(const rfb::Point& position) = 0;
  // Someone used the local keyboard or pointer.
  virtual void localInput() = 0;
  // Areas the viewers should see blanked; sending the same region again
  // sends nothing.
  virtual void setBlankRegion(const rfb::Region& region) = 0;

protected:
  SServer() = default;
  SServer(const SServer&) = delete;
  SServer& operator=(const SServer&) = delete;
};

} // namespace svr
