#include "kwo-serve/HttpServer.h"

#include "base/plat/LogSrc.h"
#include "kwo-serve/FdWatch.h"

#include <unistd.h>

namespace kwoserve {

namespace {

plat::LogSrc vlog("HttpServer");

} // namespace

HttpServer::HttpServer(const std::optional<std::string>& folder, ListenSockets listeners,
                       const OriginPolicy& origins, std::function<void(int fd)> webSocket)
    : listeners_(std::move(listeners)) {
  if (folder)
    files_.emplace(*folder);
  site_.files = files_ ? &*files_ : nullptr;
  site_.origins = &origins;
  site_.webSocket = std::move(webSocket);
  for (int listener : listeners_.descriptors())
    watches_.push_back(std::make_unique<FdWatch>(listener, [this, listener] {
      acceptFrom(listener);
    }));
  if (files_)
    vlog.status("Serving %s over HTTP on port %d", files_->folder().c_str(), listeners_.port());
  else
    vlog.status("Listening for WebSocket viewers on port %d", listeners_.port());
}

HttpServer::~HttpServer() {
  connections_.clear();
  watches_.clear();
}

void HttpServer::acceptFrom(int listener) {
  for (;;) {
    int fd = ListenSockets::accept(listener);
    if (fd < 0)
      return;
    if (connections_.size() >= maxConnections && !makeRoom()) {
      vlog.error("HTTP connection refused: %zu already open", connections_.size());
      close(fd);
      continue;
    }
    connections_.push_back(std::make_unique<HttpConnection>(fd, site_));
  }
}

bool HttpServer::makeRoom() {
  connections_.remove_if([](const auto& connection) { return connection->finished(); });
  if (connections_.size() < maxConnections)
    return true;
  // The list is in order of arrival: the first waiting one is the oldest.
  for (auto it = connections_.begin(); it != connections_.end(); ++it) {
    if ((*it)->reading()) {
      vlog.info("Closing an idle HTTP connection to make room");
      connections_.erase(it);
      return true;
    }
  }
  return false;
}

void HttpServer::collect() {
  auto now = HttpConnection::Clock::now();
  for (auto& connection : connections_)
    connection->checkDeadline(now);
  connections_.remove_if([](const auto& connection) { return connection->finished(); });
}

} // namespace kwoserve
