#pragma once

// A private X server (Xvfb) for one test or one test binary (see XServer).

#include "testsupport/XServer.h"

namespace testsupport {

class XvfbServer : public XServer {
public:
  struct Options {
    int width = 1024;
    int height = 768;
    // 8 gives a PseudoColor default visual; 16, 24 give TrueColor.
    int depth = 24;
    // Extensions to switch off, e.g. "DAMAGE", "XFIXES", "RANDR", "MIT-SHM".
    std::vector<std::string> disabledExtensions;
    std::vector<std::string> extraArguments;
    // Also set $DISPLAY to this server (for code that opens "the" display).
    bool exportDisplay = false;
  };

  XvfbServer() : XvfbServer(Options{}) {}
  explicit XvfbServer(const Options& options);

  // One server shared by every test of the process (default options, also
  // exported as $DISPLAY), started on first use and stopped at exit. It is
  // the server for code that holds a process-wide connection.
  static XvfbServer& shared();
};

} // namespace testsupport
