#pragma once

// noVNC's page (vnc.html of Debian's novnc) in headless Chromium as a
// viewer of kwo-serve: runs browser/novnc-viewer.mjs under node and talks
// to it one line at a time (see that script for the commands).

#include "ServeFixture.h"
#include "testsupport/TempDir.h"

#include <optional>
#include <string>
#include <sys/types.h>

namespace kwoserve::test {

class BrowserViewer {
public:
  // What is missing for a browser viewer here (Chromium, node, noVNC or the
  // browser/ folder's node modules), or "" when nothing is.
  static std::string missing();

  // Starts the script: the browser, of that window size, loads `url`.
  BrowserViewer(const std::string& url, const std::string& viewport);
  // Asks the script to close the browser; kills it if it does not end in time.
  ~BrowserViewer();
  BrowserViewer(const BrowserViewer&) = delete;
  BrowserViewer& operator=(const BrowserViewer&) = delete;

  // Waits for noVNC's "connected W H"; false when the script failed.
  bool waitConnected();
  // The canvas noVNC draws on; nullopt when the script failed.
  std::optional<Picture> capture();
  bool click(int x, int y);
  bool type(const std::string& text);
  // The script's and the browser's diagnostics, and its last answer.
  std::string log() const;

private:
  // Sends one command (none: "") and returns the answer line; nullopt on failure.
  std::optional<std::string> ask(const std::string& command);
  bool exitedWithin(std::chrono::seconds timeout);

  pid_t pid_ = -1;
  int commands_ = -1;  // the script's standard input (a socket: no SIGPIPE)
  int answers_ = -1;   // its standard output
  std::string pending_;
  std::string lastAnswer_;
  testsupport::TempDir dir_{"kwo-serve-browser"};
};

} // namespace kwoserve::test
