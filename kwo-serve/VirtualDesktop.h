#pragma once

// A private X display for kwo-serve's "virtual" mode: an Xvfb server that
// picks a free display number itself (-displayfd), a root window pattern and
// a terminal (or clock) so that a viewer sees a usable desktop. The server
// only lets in clients that hold the cookie of `cookieFile` (an Xauthority
// file, see XCookieFile); the desktop clients get it through XAUTHORITY.
//
// Ownership: owns every process it starts; the destructor ends the desktop
// clients, then the server.
// Failures: the constructor throws plat::Exception when the server cannot be
// started or does not report its display in time; desktop clients that are
// missing are only logged.

#include "kwo-serve/ChildProgram.h"

#include <memory>
#include <string>
#include <vector>

namespace kwoserve {

class VirtualDesktop {
public:
  VirtualDesktop(int width, int height, int depth, const std::string& cookieFile);
  ~VirtualDesktop();
  VirtualDesktop(const VirtualDesktop&) = delete;
  VirtualDesktop& operator=(const VirtualDesktop&) = delete;

  // ":N".
  const std::string& displayName() const { return displayName_; }
  // The environment of an X client of this display.
  std::vector<std::pair<std::string, std::string>> clientEnvironment() const;

private:
  void startServer(int width, int height, int depth);
  void startDesktop();

  std::unique_ptr<ChildProgram> server_;
  std::vector<std::unique_ptr<ChildProgram>> clients_;
  std::string cookieFile_;
  std::string displayName_;
};

} // namespace kwoserve
