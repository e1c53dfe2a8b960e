#pragma once

// Keeps the server told about the desktop's cursor image. With XFIXES the
// image is read from the X server and sent whenever it is a different cursor
// (its serial changed) or the caller insists; without XFIXES, or when the X
// server gives no image, the built-in arrow is sent, and only when the caller
// insists (there is no way to tell that the cursor changed).

#include <cstdint>

namespace svr {

class SServer;

class CursorSender {
public:
  // The built-in arrow's size.
  static constexpr int arrowSize = 12;

  // `xfixes`: whether cursor images can be read through XFIXES.
  explicit CursorSender(bool xfixes) : xfixes_(xfixes) {}

  // Sends the current cursor to `server` unless it is the one sent last
  // and `force` is false. True when a cursor was sent.
  bool send(SServer& server, bool force);

  // The serial of the XFIXES image sent last; -1 before any (and after the
  // arrow, which is no X cursor).
  int64_t lastSerial() const { return lastSerial_; }

private:
  bool sendArrow(SServer& server);

  bool xfixes_;
  int64_t lastSerial_ = -1;
};

} // namespace svr
