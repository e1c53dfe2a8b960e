#pragma once

// Decides which connections become LibVNCServer viewers. kwo-serve accepts
// every connection itself and hands it to LibVNCServer only once it is to
// be served:
// - a plain RFB connection from the RFB port at once, a WebSocket one once
//   its request has been checked (HttpServer);
// - not from an address the login throttle refuses;
// - at most maxClients viewers (those still in their handshake included):
//   beyond that a new connection replaces the oldest one still in its
//   handshake, so that a flood of idle connections cannot keep a real viewer
//   out; when every viewer is past its handshake, it is refused;
// - a viewer still in its handshake after handshakeDeadline is dropped.
// It also checks passwords for LibVNCServer, through the login throttle.
//
// Ownership: owns the RFB port's listening sockets; the screen must outlive
// it. Viewers are LibVNCServer's.

#include "kwo-serve/ListenSockets.h"
#include "kwo-serve/LoginThrottle.h"

#include <rfb/rfb.h>

#include <chrono>
#include <map>
#include <memory>
#include <vector>

namespace kwoserve {

class FdWatch;

class ViewerGate {
public:
  using Clock = std::chrono::steady_clock;

  static constexpr auto handshakeDeadline = std::chrono::seconds(10);

  ViewerGate(rfbScreenInfoPtr screen, ListenSockets rfbPort, int maxClients);
  ~ViewerGate();
  ViewerGate(const ViewerGate&) = delete;
  ViewerGate& operator=(const ViewerGate&) = delete;

  // A connection whose WebSocket request waits unread in the socket; the
  // descriptor is ours from now on.
  void admitWebSocket(int fd) { admit(fd, true); }
  // Drops viewers whose handshake has taken too long; called before each pass.
  void checkDeadlines(Clock::time_point now);

  // LibVNCServer's hooks, through VncScreen.
  void clientCreated(rfbClientPtr cl) { created_[cl] = Clock::now(); }
  void clientGone(rfbClientPtr cl) { created_.erase(cl); }
  // The password check: LibVNCServer's list check, refused outright while
  // the viewer's address is throttled.
  bool checkPassword(rfbClientPtr cl, const char* response, int length);

private:
  void acceptFrom(int listener);
  void admit(int fd, bool webSocket);
  int liveViewers() const;
  bool evictOldestHandshake();

  rfbScreenInfoPtr screen_;
  ListenSockets listeners_;
  std::vector<std::unique_ptr<FdWatch>> watches_;
  int maxClients_;
  LoginThrottle throttle_;
  std::map<rfbClientPtr, Clock::time_point> created_;
};

} // namespace kwoserve
