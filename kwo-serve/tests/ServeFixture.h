#pragma once

// Helpers for the end-to-end tests: a private X display with a known
// pattern, a kwo-serve process serving it, and viewers (LibVNCClient, or a
// bare RFB connection the test drives byte by byte).

#include "base/rfb/Rect.h"
#include "testsupport/LoopPump.h"
#include "testsupport/TempDir.h"
#include "testsupport/XvfbServer.h"

#include <rfb/rfbclient.h>

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

struct _XDisplay;

namespace kwoserve::test {

using testsupport::readFile;

constexpr auto deadline = std::chrono::seconds(60);

// Whether `condition` holds within the deadline, checked every 20 ms.
inline bool pollUntil(const std::function<bool()>& condition) {
  return testsupport::waitUntil(
      condition, [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }, deadline);
}

struct Rgb8 {
  int r, g, b;
  bool operator==(const Rgb8&) const = default;
};

struct Picture {
  int width = 0, height = 0;
  std::vector<Rgb8> pixels;  // row by row
};

// The smallest rectangle holding every pixel in which `a` and `b` differ;
// all of both when their sizes differ.
rfb::Rect differingArea(const Picture& a, const Picture& b);

// An X display (Xvfb, 1024x768x24) with a window covering it that shows
// tiles of 128 pixels, each of another colour than its neighbours.
class PatternDisplay {
public:
  struct Input {
    std::string typed;
    int clicks = 0;
  };

  PatternDisplay();
  ~PatternDisplay();
  const std::string& name() const { return server_.displayName(); }
  _XDisplay* dpy() const { return dpy_; }
  // Fills the window's top left width x height with one colour.
  void fill(Rgb8 colour, int width = 1024, int height = 768) { draw(colour, 0, 0, width, height); }
  // What the screen shows: the tiles and the fills drawn since.
  const Picture& picture() const { return shown_; }
  // Adds the key and button presses that reached the window to `input`.
  void readInput(Input& input);

private:
  void draw(Rgb8 colour, int x, int y, int width, int height);

  testsupport::XvfbServer server_;
  _XDisplay* dpy_ = nullptr;
  unsigned long window_ = 0;
  Picture shown_{1024, 768, std::vector<Rgb8>(1024 * 768)};
};

// A kwo-serve process with a runtime folder (XDG_RUNTIME_DIR) of its own; its
// standard error goes to a file read by log().
class ServeRun {
public:
  // `generated`: kwo-serve makes a password (password() reads it); `none`:
  // it runs with -nopassword.
  enum class Password { none, generated };

  // `display` "": a virtual display of kwo-serve's own.
  explicit ServeRun(const std::string& display, const std::vector<std::string>& extraArgs = {},
                    Password password = Password::none);
  ~ServeRun();
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  std::string runtimeFile(const std::string& name) const;
  std::string password() const;
  std::string log() const;
  // Waits for the listener; false when kwo-serve ended or the deadline passed.
  bool waitListening();
  bool waitLog(const std::string& text);
  // What the printed block says after "  label:"; "" when it does not in time.
  std::string banner(const std::string& label);
  std::vector<std::pair<pid_t, std::string>> children() const;
  // The agent (a child of kwo-serve), -1 when none.
  pid_t agentPid() const;
  // The exit status (128 + signal when killed), or -1 at the deadline.
  int waitExit();
  bool running();

private:
  pid_t pid_ = -1;
  int port_ = 0;
  int status_ = -1;
  testsupport::TempDir runtimeDir_{"kwo-serve-run"};
};

// A viewer connected with LibVNCClient.
class Viewer {
public:
  // `password`: the answer when the server asks for one.
  explicit Viewer(int port, const std::string& password = {});
  ~Viewer();
  bool connected() const { return client_ != nullptr; }
  rfbClient* client() { return client_; }
  Picture picture() const;
  // Handles server messages until `condition` holds or the deadline passes.
  bool waitUntil(const std::function<bool()>& condition);

private:
  static char* getPassword(rfbClient* client);
  rfbClient* client_ = nullptr;
  std::string password_;
};

// A loopback TCP connection, closed at the end.
class Connection {
public:
  // `receiveBuffer` > 0: that small a socket receive buffer.
  explicit Connection(int port, int receiveBuffer = 0);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  int fd() const { return fd_; }
  bool send(const std::string& data);
  // Reads until the peer closes, `enough` holds for the bytes so far, or
  // the deadline passes.
  std::string read(const std::function<bool(const std::string&)>& enough = {});
  // Sends a GET and reads the response until the server closes.
  std::string get(const std::string& path);

private:
  int fd_;
};

// An RFB viewer without authentication that has done its handshake (as a
// shared viewer) when constructed; throws when the server stops talking.
class RawViewer : public Connection {
public:
  explicit RawViewer(int port, int receiveBuffer = 0);
  // Exactly `n` more bytes from the server.
  std::string take(size_t n);
  // The type of the next message that is not a Bell. A FramebufferUpdate
  // (raw or ExtendedDesktopSize rectangles) is read whole, its rectangles'
  // headers going to `rects`; of other messages only the type is read.
  int next(std::vector<std::string>* rects = nullptr);

private:
  std::string pending_;
  int bytesPerPixel_ = 4;
};

uint32_t bigEndian32(const std::string& s, size_t at);
int bigEndian16(const std::string& s, size_t at);
int freePort();

} // namespace kwoserve::test
