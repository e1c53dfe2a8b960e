#pragma once

// Helpers for the end-to-end tests: a private X display with a known
// pattern, a kwo-serve process serving it, and a LibVNCClient viewer.

#include "testsupport/XvfbServer.h"

#include <rfb/rfbclient.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

struct _XDisplay;

namespace kwoserve::test {

constexpr auto deadline = std::chrono::seconds(60);

struct Rgb8 {
  int r, g, b;
};

// The colour of pattern tile (tx, ty): every tile differs from its neighbours.
Rgb8 tileColour(int tx, int ty);
constexpr int tileSize = 128;

// A picture as 8-bit RGB rows, top to bottom.
struct Picture {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  Rgb8 pixel(int x, int y) const;
};

// "" when `got` equals `want` pixel for pixel; otherwise how they differ
// (sizes, or the count of differing pixels and the first one).
std::string pictureDifference(const Picture& got, const Picture& want);

// An X display (Xvfb, 1024x768x24) with a window covering it that shows the
// tile pattern.
class PatternDisplay {
public:
  PatternDisplay();
  ~PatternDisplay();
  const std::string& name() const { return server_.displayName(); }
  _XDisplay* dpy() const { return dpy_; }
  unsigned long window() const { return window_; }
  // Fills the whole window with one colour.
  void fill(Rgb8 colour);
  void drawPattern();
  // The whole screen as the X server has it.
  Picture picture() const;

private:
  testsupport::XvfbServer server_;
  _XDisplay* dpy_ = nullptr;
  unsigned long window_ = 0;
};

// A kwo-serve process; its standard error goes to a file read by log().
class ServeRun {
public:
  ServeRun(const std::string& display, const std::vector<std::string>& extraArgs = {});
  ~ServeRun();
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  std::string log() const;
  // Waits for the listener; false when kwo-serve ended or the deadline passed.
  bool waitListening();
  bool waitLog(const std::string& text);
  // The agent process it started (a child of kwo-serve), -1 when none.
  pid_t agentPid() const;
  // Waits for the end; the exit status, or -1 at the deadline.
  int waitExit();
  bool running();

private:
  pid_t pid_ = -1;
  int port_ = 0;
  int status_ = -1;
  std::string logPath_;
};

// A viewer connected with LibVNCClient, which also takes the extended
// clipboard (texts of up to maxCutText bytes).
class Viewer {
public:
  explicit Viewer(int port);
  ~Viewer();
  bool connected() const { return client_ != nullptr; }
  rfbClient* client() { return client_; }
  Rgb8 pixel(int x, int y) const;
  // Handles server messages until `condition` holds or the deadline passes.
  bool waitUntil(const std::function<bool()>& condition);
  // The last clipboard text from the server (UTF-8 when extended, else
  // ISO-8859-1).
  const std::string& cutText() const { return cutText_; }

  static constexpr uint32_t maxCutText = 64u << 20;

private:
  bool handleMessage();

  rfbClient* client_ = nullptr;
  std::string cutText_;
};

bool near(Rgb8 a, Rgb8 b, int tolerance);
// Whether `condition` holds within the deadline, checked every 20 ms.
bool pollUntil(const std::function<bool()>& condition);
int freePort();

} // namespace kwoserve::test
