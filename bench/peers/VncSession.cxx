#include "bench/peers/VncSession.h"

#include <rfb/rfbclient.h>

#include <linux/tcp.h>
#include <sys/socket.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace peers {

namespace {

int sessionTag;

// LibVNCClient's chatter would mix with the figures; errors are kept.
void quietLog(const char*, ...) {}

void errorLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  fputs("libvncclient: ", stderr);
  vfprintf(stderr, format, args);
  va_end(args);
}

} // namespace

VncSession::VncSession(const std::string& host, int port, const std::string& encoding,
                       Kind kind) {
  rfbClientLog = quietLog;
  rfbClientErr = errorLog;
  rfbClient* client = rfbGetClient(8, 3, 4);
  if (!client)
    throw std::runtime_error("rfbGetClient failed");
  if (kind == Kind::shape) {
    client->format.redShift = 16;
    client->format.greenShift = 8;
    client->format.blueShift = 0;
    client->format.bigEndian = FALSE;
  }
  client->appData.encodingsString = strdup(encoding.c_str());
  client->appData.useRemoteCursor = kind == Kind::shape ? TRUE : FALSE;
  client->serverHost = strdup(host.c_str());
  client->serverPort = port;
  client->GotFrameBufferUpdate = gotRect;
  client->FinishedFrameBufferUpdate = finishedUpdate;
  rfbClientSetClientData(client, &sessionTag, this);
  int argc = 0;
  // On failure rfbInitClient frees the client itself.
  if (!rfbInitClient(client, &argc, nullptr))
    throw std::runtime_error("cannot connect to " + host + ":" + std::to_string(port));
  client_ = client;
}

VncSession::~VncSession() {
  if (!client_)
    return;
  const char* encodings = client_->appData.encodingsString;
  rfbClientCleanup(client_);
  free(const_cast<char*>(encodings));
}

VncSession& VncSession::of(rfbClient* client) {
  return *static_cast<VncSession*>(rfbClientGetClientData(client, &sessionTag));
}

void VncSession::gotRect(rfbClient* client, int, int, int w, int h) {
  VncSession& self = of(client);
  self.counters_.rects++;
  self.counters_.pixels += double(w) * double(h);
}

void VncSession::finishedUpdate(rfbClient* client) {
  VncSession& self = of(client);
  self.counters_.updates++;
  self.updateFinished_ = true;
}

bool VncSession::runUntil(Clock::time_point deadline, const std::function<bool()>& done) {
  for (;;) {
    Clock::time_point now = Clock::now();
    if (now >= deadline)
      return false;
    // Data LibVNCClient has already read need not wait for the socket.
    if (client_->buffered == 0) {
      auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
      int ready = WaitForMessage(client_, unsigned(std::min<long long>(left, 100000)));
      if (ready < 0)
        throw std::runtime_error("waiting for the server failed");
      if (ready == 0)
        continue;
    }
    updateFinished_ = false;
    if (!HandleRFBServerMessage(client_))
      throw std::runtime_error("the server closed the connection or sent garbage");
    if (updateFinished_ && done && done())
      return true;
  }
}

VncSession::Counters VncSession::counters() const {
  Counters counters = counters_;
  counters.wireBytes = socketBytes();
  return counters;
}

uint64_t VncSession::socketBytes() const {
  tcp_info info{};
  socklen_t length = sizeof(info);
  if (getsockopt(client_->sock, IPPROTO_TCP, TCP_INFO, &info, &length) != 0)
    return 0;
  return info.tcpi_bytes_received;
}

int VncSession::width() const {
  return client_->width;
}

int VncSession::height() const {
  return client_->height;
}

uint32_t VncSession::pixel(int x, int y) const {
  uint32_t value;
  std::memcpy(&value, client_->frameBuffer + (size_t(y) * size_t(client_->width) + size_t(x)) * 4,
              4);
  const rfbPixelFormat& f = client_->format;
  return ((value >> f.redShift) & 0xff) << 16 | ((value >> f.greenShift) & 0xff) << 8 |
         ((value >> f.blueShift) & 0xff);
}

} // namespace peers
