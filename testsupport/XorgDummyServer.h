#pragma once

// A private Xorg server on the "dummy" video driver, for tests that need
// what Xvfb lacks: a RandR 1.2+ screen with several CRTCs and outputs
// (DUMMY0 .. DUMMY15) whose modes, CRTC configurations and screen size can
// really be changed. Each server gets its own xorg.conf, an empty config
// directory (so the machine's xorg.conf.d plays no part), its own log file,
// and a display number that Xorg picks itself and reports through
// -displayfd. The constructor returns once the server has reported
// readiness; the destructor stops and reaps it and removes its files.
//
// The outputs listed in Options are switched on at start-up through the
// configuration (per-output Monitor sections), the first one as primary;
// every other output is disconnected and has no CRTC. A server that cannot
// be started is an error (std::runtime_error carrying Xorg's own output),
// never a skip.

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

class XorgDummyServer {
public:
  struct Output {
    // A mode the dummy driver offers by default (e.g. "1024x768",
    // "800x600"): it becomes the output's preferred mode.
    std::string mode;
    int x = 0;
    int y = 0;
  };

  struct Options {
    // DUMMY0, DUMMY1, ... in this order.
    std::vector<Output> outputs = {{"1024x768", 0, 0}};
    // The framebuffer Xorg sets up first; the screen is resized to the
    // outputs' bounding box anyway, and RandR may grow it up to 32767.
    int virtualWidth = 4096;
    int virtualHeight = 2048;
    // Also set $DISPLAY to this server.
    bool exportDisplay = false;
    std::chrono::milliseconds startDeadline = std::chrono::seconds(60);
  };

  XorgDummyServer();
  explicit XorgDummyServer(const Options& options);
  ~XorgDummyServer();
  XorgDummyServer(const XorgDummyServer&) = delete;
  XorgDummyServer& operator=(const XorgDummyServer&) = delete;

  // ":<number>".
  const std::string& displayName() const { return displayName_; }
  int displayNumber() const { return number_; }
  pid_t pid() const { return pid_; }
  void exportDisplay() const;
  // Xorg's log file and its standard output and error, so far.
  std::string log() const;

  // The configuration file written for `options` (exposed for tests of the
  // fixture itself).
  static std::string configText(const Options& options);

private:
  void start(const Options& options);
  void awaitDisplayNumber(int fd, std::chrono::steady_clock::time_point deadline);
  [[noreturn]] void fail(const std::string& why);
  void stop();

  pid_t pid_ = -1;
  int number_ = -1;
  std::string displayName_;
  // Private directory holding xorg.conf, the empty config dir and the logs.
  std::string dir_;
};

} // namespace testsupport
