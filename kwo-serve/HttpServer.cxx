#include "kwo-serve/HttpServer.h"

#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/LogSrc.h"
#include "kwo-serve/FdWatch.h"
#include "kwo-serve/HttpConnection.h"

#include <rfb/rfb.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kwoserve {

namespace {

plat::LogSrc vlog("HttpServer");

// More at once are refused, so that idle connections cannot pile up.
constexpr size_t maxConnections = 64;

int prepared(int listener) {
  if (listener >= 0) {
    fcntl(listener, F_SETFL, fcntl(listener, F_GETFL) | O_NONBLOCK);
    fcntl(listener, F_SETFD, FD_CLOEXEC);
  }
  return listener;
}

} // namespace

HttpServer::HttpServer(const std::string& folder, in_addr_t address, const std::string& address6,
                       int port)
    : files_(folder) {
  int v4 = prepared(rfbListenOnTCPPort(port, address));
  if (v4 < 0) {
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address, text, sizeof(text));
    throw plat::Exception(plat::format("cannot listen on %s port %d for HTTP", text, port));
  }
  listeners_.push_back(v4);
  int v6 = prepared(rfbListenOnTCP6Port(port, address6.c_str()));
  if (v6 >= 0)
    listeners_.push_back(v6);
  for (int listener : listeners_)
    watches_.push_back(std::make_unique<FdWatch>(listener, [this, listener] {
      acceptFrom(listener);
    }));
  vlog.status("Serving %s over HTTP on port %d", files_.folder().c_str(), port);
}

HttpServer::~HttpServer() {
  connections_.clear();
  watches_.clear();
  for (int listener : listeners_)
    close(listener);
}

void HttpServer::acceptFrom(int listener) {
  for (;;) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
      return;
    if (connections_.size() >= maxConnections) {
      vlog.error("HTTP connection refused: %zu already open", connections_.size());
      close(fd);
      continue;
    }
    connections_.push_back(std::make_unique<HttpConnection>(fd, files_));
  }
}

void HttpServer::collect() {
  connections_.remove_if([](const auto& connection) { return connection->finished(); });
}

} // namespace kwoserve
