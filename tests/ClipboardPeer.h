#pragma once

// The desktop's other applications for the end-to-end clipboard tests: the
// selection owner and cut-buffer writer of the toolkit's clipboard tests,
// kept answering while the test's server waits for the agent (their X
// connections are watched by the thread's descriptor manager, so that a
// paster's answer arrives in that same loop), and a server grab under which
// several changes reach the agent as one.

// GoogleTest comes first inside: Xlib's macros (None, Bool) break its headers.
#include "uilibs/tx/tests/ClipboardPeers.h"

#include "base/io/FdHandler.h"
#include "base/io/FdManager.h"

#include <X11/Xlib.h>

#include <cstdio>
#include <string>

namespace e2e {

// Handles a peer's X events whenever its connection is readable, from the
// thread's current descriptor manager (which must outlive this object).
// Events Xlib already queued while the test itself talked to the server do
// not make the descriptor readable: waits serve the peers as well.
class PeerWatch : public io::FdHandler {
public:
  explicit PeerWatch(cliptest::Peer& peer)
    : FdHandler(ConnectionNumber(peer.dpy())), peer_(peer), manager_(*io::FdManager::current()) {
    manager_.addHandler(*this);
    manager_.setEvents(*this, true, false);
  }
  ~PeerWatch() override {
    manager_.setEvents(*this, false, false);
    manager_.removeHandler(*this);
  }
  PeerWatch(const PeerWatch&) = delete;
  PeerWatch& operator=(const PeerWatch&) = delete;

  void handleRead() override {
    peer_.serve();
    XFlush(peer_.dpy());
  }
  void handleWrite() override {}

private:
  cliptest::Peer& peer_;
  io::FdManager& manager_;
};

// Holds the X server for one connection for the life of the scope, so that
// other clients (the agent) see every change made meanwhile at once. Only
// that connection may be used inside the scope.
class ServerGrab {
public:
  explicit ServerGrab(Display* dpy) : dpy_(dpy) {
    XGrabServer(dpy_);
    XSync(dpy_, False);
  }
  ~ServerGrab() {
    XUngrabServer(dpy_);
    XSync(dpy_, False);
  }
  ServerGrab(const ServerGrab&) = delete;
  ServerGrab& operator=(const ServerGrab&) = delete;

private:
  Display* dpy_;
};

// Writes cut buffer 0 through `dpy` (usable inside that client's grab).
inline void storeCutBuffer(Display* dpy, const std::string& bytes) {
  XStoreBytes(dpy, bytes.data(), int(bytes.size()));
  XSync(dpy, False);
}

// Xvfb 21.1 started without XFIXES aborts (an assertion on an XFIXES
// private) as soon as one client disconnects while another is connected, so
// ending a test on such a server loses the server under the remaining
// connections. Xlib would then end the whole test process; with this, the
// connection is only marked broken and can still be closed. Xlib's default
// I/O error handler exits by itself, so the process-wide one is replaced by
// one that only reports; connections without an exit handler of their own
// still end the process as before.
inline void survivesLostServer(Display* dpy) {
  XSetIOErrorHandler([](Display* lost) {
    std::fprintf(stderr, "X connection to %s broken\n", DisplayString(lost));
    return 0;
  });
  XSetIOErrorExitHandler(dpy, [](Display*, void*) {}, nullptr);
}

} // namespace e2e
