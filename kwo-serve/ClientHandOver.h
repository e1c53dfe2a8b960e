#pragma once

// Gives a connection that kwo-serve has decided to serve to LibVNCServer
// (rfbNewClient), saying what it is, so that a plain RFB viewer gets the
// version greeting at once.
//
// Why: LibVNCServer looks for a WebSocket handshake on every new client
// (webSocketsCheck), waiting about 100 ms for the viewer to speak first,
// which a plain RFB viewer never does; that wait blocks the whole loop. It
// calls webSocketsCheck through the dynamic linker, so kwo-serve defines the
// function itself (see ClientHandOver.cxx): TRUE ("no WebSocket, go on") for
// the plain connection being handed over, and LibVNCServer's own check for
// the rest. WebSocket connections are only handed over once their request
// waits in the socket, so that check finds it without waiting.
//
// Both also give the socket a large send buffer, so that one update fits in
// it and a viewer that reads slowly is held back (SlowViewers) before a
// write can block.

#include <rfb/rfb.h>

namespace kwoserve {

class ClientHandOver {
public:
  // The new client, or null when LibVNCServer refused it (then the socket is
  // closed). Either way the descriptor no longer belongs to the caller.
  static rfbClientPtr plain(rfbScreenInfoPtr screen, int fd);
  static rfbClientPtr webSocket(rfbScreenInfoPtr screen, int fd);
  // Requests a send buffer large enough for a whole update.
  static void enlargeSendBuffer(int fd);
};

} // namespace kwoserve
