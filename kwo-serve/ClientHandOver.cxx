#include "kwo-serve/ClientHandOver.h"

#include <dlfcn.h>
#include <sys/socket.h>

namespace kwoserve {

namespace {

// Requested send buffer (the kernel doubles it, within its limits).
constexpr int sendBufferBytes = 4 << 20;

// The plain connection being handed over; -1 outside ClientHandOver::plain.
int plainSocket = -1;

using CheckFn = rfbBool (*)(rfbClientPtr);

CheckFn libraryCheck() {
  static CheckFn fn = reinterpret_cast<CheckFn>(dlsym(RTLD_NEXT, "webSocketsCheck"));
  return fn;
}

} // namespace

rfbClientPtr ClientHandOver::plain(rfbScreenInfoPtr screen, int fd) {
  enlargeSendBuffer(fd);
  plainSocket = fd;
  rfbClientPtr cl = rfbNewClient(screen, fd);
  plainSocket = -1;
  return cl;
}

rfbClientPtr ClientHandOver::webSocket(rfbScreenInfoPtr screen, int fd) {
  enlargeSendBuffer(fd);
  return rfbNewClient(screen, fd);
}

void ClientHandOver::enlargeSendBuffer(int fd) {
  int size = sendBufferBytes;
  // SO_SNDBUFFORCE passes the system limit when we may (root).
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof(size)) != 0)
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
}

} // namespace kwoserve

// Replaces LibVNCServer's function of that name for the whole process (see
// ClientHandOver.h). TRUE with no WebSocket context means "a plain RFB
// client" to the library.
extern "C" rfbBool webSocketsCheck(rfbClientPtr cl) {
  if (cl->sock == kwoserve::plainSocket)
    return TRUE;
  kwoserve::CheckFn check = kwoserve::libraryCheck();
  return check ? check(cl) : FALSE;
}
