#include "kwo-serve/ViewerGate.h"

#include "base/plat/LogSrc.h"
#include "kwo-serve/ClientHandOver.h"
#include "kwo-serve/FdWatch.h"

#include <unistd.h>

namespace kwoserve {

namespace {

plat::LogSrc vlog("ViewerGate");

bool inHandshake(rfbClientPtr cl) { return cl->state != rfbClientRec::RFB_NORMAL; }

bool live(rfbClientPtr cl) {
  return cl->sock != RFB_INVALID_SOCKET && cl->state != rfbClientRec::RFB_SHUTDOWN;
}

} // namespace

ViewerGate::ViewerGate(rfbScreenInfoPtr screen, ListenSockets rfbPort, int maxClients)
    : screen_(screen), listeners_(std::move(rfbPort)), maxClients_(maxClients) {
  for (int listener : listeners_.descriptors())
    watches_.push_back(std::make_unique<FdWatch>(listener, [this, listener] {
      acceptFrom(listener);
    }));
}

ViewerGate::~ViewerGate() = default;

void ViewerGate::acceptFrom(int listener) {
  for (;;) {
    int fd = ListenSockets::accept(listener);
    if (fd < 0)
      return;
    admit(fd, false);
  }
}

void ViewerGate::admit(int fd, bool webSocket) {
  std::string address = ListenSockets::peerAddress(fd);
  if (throttle_.refused(address, Clock::now())) {
    vlog.error("Connection from %s refused: too many failed logins", address.c_str());
    close(fd);
    return;
  }
  if (liveViewers() >= maxClients_ && !evictOldestHandshake()) {
    vlog.error("Connection from %s refused: %d viewers already (-maxclients)", address.c_str(),
               maxClients_);
    close(fd);
    return;
  }
  if (webSocket)
    ClientHandOver::webSocket(screen_, fd);
  else
    ClientHandOver::plain(screen_, fd);
}

int ViewerGate::liveViewers() const {
  int count = 0;
  for (const auto& [cl, created] : created_)
    count += live(cl) ? 1 : 0;
  return count;
}

bool ViewerGate::evictOldestHandshake() {
  rfbClientPtr oldest = nullptr;
  for (const auto& [cl, created] : created_)
    if (live(cl) && inHandshake(cl) && (!oldest || created < created_.at(oldest)))
      oldest = cl;
  if (!oldest)
    return false;
  vlog.status("Dropping %s, still in its handshake, to make room for a new viewer",
              oldest->host);
  rfbCloseClient(oldest);
  return true;
}

void ViewerGate::checkDeadlines(Clock::time_point now) {
  for (const auto& [cl, created] : created_) {
    if (live(cl) && inHandshake(cl) && now - created > handshakeDeadline) {
      vlog.status("Dropping %s: no handshake within %lld s", cl->host,
                  (long long)std::chrono::duration_cast<std::chrono::seconds>(handshakeDeadline)
                      .count());
      rfbCloseClient(cl);
    }
  }
}

bool ViewerGate::checkPassword(rfbClientPtr cl, const char* response, int length) {
  std::string address = ListenSockets::peerAddress(cl->sock);
  Clock::time_point now = Clock::now();
  if (throttle_.refused(address, now)) {
    vlog.error("Password from %s refused unchecked: too many failed logins", address.c_str());
    return false;
  }
  if (rfbCheckPasswordByList(cl, response, length)) {
    throttle_.succeeded(address);
    return true;
  }
  Clock::duration pause = throttle_.failed(address, now);
  vlog.error("Wrong password from %s; refusing it for %lld s", address.c_str(),
             (long long)std::chrono::duration_cast<std::chrono::seconds>(pause).count());
  return false;
}

} // namespace kwoserve
