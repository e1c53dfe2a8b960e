#pragma once

// Keeps a viewer that reads slowly (or not at all) from slowing the others.
// LibVNCServer writes to viewers from our one loop; a write to a full socket
// waits (up to the screen's maxClientWait) and stops everything meanwhile.
// So before each pass a viewer whose socket still holds more than holdAbove
// unsent bytes is held (cl->onHold: LibVNCServer sends it no updates) until
// its peer has taken most of them, and a viewer held for longer than
// dropAfter is disconnected. Sockets have send buffers larger than an
// update (ClientHandOver), so writes to viewers that are not held do not
// block.
//
// While a viewer is held its socket's not-sent low-water mark is holdAbove,
// so that it reports writable exactly when the viewer may be released; the
// returned descriptors are watched for that (no polling).

#include <rfb/rfb.h>

#include <chrono>
#include <map>
#include <vector>

namespace kwoserve {

class SlowViewers {
public:
  using Clock = std::chrono::steady_clock;

  static constexpr int holdAbove = 1 << 20;
  static constexpr auto dropAfter = std::chrono::seconds(30);

  // Holds, releases or drops the viewers of `screen`; returns the sockets of
  // the viewers now held.
  std::vector<int> check(rfbScreenInfoPtr screen, Clock::time_point now);
  // The viewer is gone.
  void forget(rfbClientPtr cl) { heldSince_.erase(cl); }

private:
  void hold(rfbClientPtr cl, Clock::time_point now);
  void release(rfbClientPtr cl);

  std::map<rfbClientPtr, Clock::time_point> heldSince_;
};

} // namespace kwoserve
