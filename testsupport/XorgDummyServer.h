#pragma once

// A private Xorg server on the "dummy" video driver (see XServer), for
// tests that need what Xvfb lacks: a RandR 1.2+ screen with several CRTCs
// and outputs (DUMMY0 .. DUMMY15) whose modes, CRTC configurations and
// screen size can really be changed. Each server gets its own xorg.conf and
// an empty config directory (so the machine's xorg.conf.d plays no part).
// The outputs listed in Options are switched on at start-up, the first one
// as primary; every other output is disconnected and has no CRTC.

#include "testsupport/XServer.h"

namespace testsupport {

class XorgDummyServer : public XServer {
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
  };

  XorgDummyServer() : XorgDummyServer(Options{}) {}
  explicit XorgDummyServer(const Options& options);
};

} // namespace testsupport
