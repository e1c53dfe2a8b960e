#include "kwo-serve/SlowViewers.h"

#include "base/plat/LogSrc.h"

#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace kwoserve {

namespace {

plat::LogSrc vlog("SlowViewers");

// Bytes queued on the socket that its peer has not been sent yet; 0 when
// unknown (a Unix socket, an error).
int unsentBytes(int fd) {
  int bytes = 0;
  if (ioctl(fd, SIOCOUTQNSD, &bytes) != 0)
    return 0;
  return bytes;
}

void setNotSentLowWaterMark(int fd, int bytes) {
  // 0 restores the system default (no mark).
  setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &bytes, sizeof(bytes));
}

} // namespace

std::vector<int> SlowViewers::check(rfbScreenInfoPtr screen, Clock::time_point now) {
  std::vector<int> held;
  rfbClientIteratorPtr it = rfbGetClientIterator(screen);
  while (rfbClientPtr cl = rfbClientIteratorNext(it)) {
    if (cl->sock == RFB_INVALID_SOCKET || cl->state != rfbClientRec::RFB_NORMAL)
      continue;
    bool slow = unsentBytes(cl->sock) > holdAbove;
    auto since = heldSince_.find(cl);
    if (slow && since == heldSince_.end()) {
      hold(cl, now);
    } else if (!slow && since != heldSince_.end()) {
      release(cl);
      continue;
    } else if (slow && now - since->second > dropAfter) {
      vlog.error("Viewer %s has not read its updates for %lld s: disconnecting it", cl->host,
                 (long long)std::chrono::duration_cast<std::chrono::seconds>(dropAfter).count());
      release(cl);
      rfbCloseClient(cl);
      continue;
    }
    if (slow)
      held.push_back(cl->sock);
  }
  rfbReleaseClientIterator(it);
  return held;
}

void SlowViewers::hold(rfbClientPtr cl, Clock::time_point now) {
  vlog.debug("Holding updates for %s: its output is not read", cl->host);
  heldSince_[cl] = now;
  cl->onHold = TRUE;
  setNotSentLowWaterMark(cl->sock, holdAbove);
}

void SlowViewers::release(rfbClientPtr cl) {
  vlog.debug("Updates for %s go on", cl->host);
  heldSince_.erase(cl);
  cl->onHold = FALSE;
  setNotSentLowWaterMark(cl->sock, 0);
}

} // namespace kwoserve
