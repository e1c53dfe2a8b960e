#pragma once

// One RFB viewer connection through LibVNCClient that asks for updates back
// to back: a non-incremental request when it connects, then, as soon as each
// update is complete, an incremental one (LibVNCClient's own behaviour).
// It keeps the framebuffer and counts what arrives. The encoding is chosen
// by name. Two kinds of viewer:
//   shape - asks for cursor shapes (so that no server draws the cursor into
//           the pixels) and for 32-bit little-endian 0x00RRGGBB, the X
//           server's own format, so that no server translates pixels;
//   drawn - as common viewers do: no cursor shapes (the server draws the
//           cursor) and LibVNCClient's own format, 0x00BBGGRR, which the
//           server must translate to.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

struct _rfbClient;

namespace peers {

class VncSession {
public:
  struct Counters {
    long updates = 0;         // FramebufferUpdate messages completed
    long rects = 0;           // rectangles in them
    double pixels = 0;        // area of those rectangles
    uint64_t wireBytes = 0;   // bytes received on the socket (TCP_INFO)
  };
  using Clock = std::chrono::steady_clock;

  // Connects and sets the format and encodings; throws std::runtime_error
  // when the server cannot be reached or refuses.
  enum class Kind { shape, drawn };

  VncSession(const std::string& host, int port, const std::string& encoding,
             Kind kind = Kind::shape);
  ~VncSession();
  VncSession(const VncSession&) = delete;
  VncSession& operator=(const VncSession&) = delete;

  // Handles server messages until `done` returns true after an update, or
  // until `deadline`. Returns whether `done` was met. Throws
  // std::runtime_error when the connection fails.
  bool runUntil(Clock::time_point deadline, const std::function<bool()>& done = {});

  // What has arrived since the connection was made.
  Counters counters() const;

  int width() const;
  int height() const;
  // The framebuffer's pixel at (x, y) as 0xRRGGBB.
  uint32_t pixel(int x, int y) const;

private:
  static void gotRect(_rfbClient* client, int x, int y, int w, int h);
  static void finishedUpdate(_rfbClient* client);
  static VncSession& of(_rfbClient* client);
  uint64_t socketBytes() const;

  _rfbClient* client_ = nullptr;
  Counters counters_;
  bool updateFinished_ = false;
};

} // namespace peers
