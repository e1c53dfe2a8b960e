#pragma once

// The desktop's other applications for the end-to-end clipboard tests: the
// selection owner and the paster of the toolkit's clipboard tests, kept
// answering while the test waits for the agent.

// GoogleTest comes first inside: Xlib's macros (None, Bool) break its headers.
#include "uilibs/tx/tests/ClipboardPeers.h"

#include "base/io/FdHandler.h"
#include "base/io/FdManager.h"

namespace e2e {

// Handles a peer's X events whenever its connection is readable, from the
// thread's current descriptor manager (which must outlive this object), so
// that a paster's answer arrives in the loop that waits for the agent.
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

// The selection owner and the paster on one display, both watched.
struct DesktopPeers {
  explicit DesktopPeers(const std::string& display) : owner(display), paster(display) {}
  cliptest::SelectionOwner owner;
  cliptest::Paster paster;
  PeerWatch ownerWatch{owner};
  PeerWatch pasterWatch{paster};
  Atom clipboard = owner.atom("CLIPBOARD");
};

} // namespace e2e
