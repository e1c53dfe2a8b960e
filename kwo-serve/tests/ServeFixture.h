#pragma once

// Helpers for the end-to-end tests: a private X display with a known
// pattern, a kwo-serve process serving it, and a LibVNCClient viewer.

#include "testsupport/TempDir.h"
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
  // Fills the window (its top left width x height) with one colour.
  void fill(Rgb8 colour, int width = 1024, int height = 768);
  void drawPattern();
  // The whole screen as the X server has it.
  Picture picture() const;

private:
  testsupport::XvfbServer server_;
  _XDisplay* dpy_ = nullptr;
  unsigned long window_ = 0;
};

// A kwo-serve process; its standard error goes to a file read by log(). Its
// runtime folder (XDG_RUNTIME_DIR) is a private one of this object's.
class ServeRun {
public:
  // Whether viewers need a password: with `generated`, kwo-serve makes one
  // (password() reads it); with `none`, it runs with -nopassword.
  enum class Password { none, generated };

  // `display` "": a virtual display of kwo-serve's own.
  ServeRun(const std::string& display, const std::vector<std::string>& extraArgs = {},
           Password password = Password::none);
  ~ServeRun();
  int port() const { return port_; }
  // A file in kwo-serve's runtime folder.
  std::string runtimeFile(const std::string& name) const;
  std::string password() const;
  pid_t pid() const { return pid_; }
  std::string log() const;
  // Waits for the listener; false when kwo-serve ended or the deadline passed.
  bool waitListening();
  bool waitLog(const std::string& text);
  // Its child processes and their names.
  std::vector<std::pair<pid_t, std::string>> children() const;
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
  testsupport::TempDir runtimeDir_{"kwo-serve-run"};
};

// A viewer connected with LibVNCClient, which also takes the extended
// clipboard (texts of up to maxCutText bytes).
class Viewer {
public:
  // `password`: what the viewer answers when asked for one.
  explicit Viewer(int port, const std::string& password = {});
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
  static char* getPassword(rfbClient* client);
  bool handleMessage();

  rfbClient* client_ = nullptr;
  std::string cutText_;
  std::string password_;
};

// A loopback TCP connection, closed at the end.
class Connection {
public:
  explicit Connection(int port);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  bool send(const std::string& data);
  // Reads until the peer closes, or until `enough` says the bytes so far
  // are enough, or the deadline passes.
  std::string read(const std::function<bool(const std::string&)>& enough = {});
  // Sends a GET and reads the response until the server closes.
  std::string get(const std::string& path);

private:
  int fd_;
};

// What a file holds ("" when it cannot be read).
std::string readFile(const std::string& path);
bool near(Rgb8 a, Rgb8 b, int tolerance);
// Whether `condition` holds within the deadline, checked every 20 ms.
bool pollUntil(const std::function<bool()>& condition);
int freePort();

} // namespace kwoserve::test
