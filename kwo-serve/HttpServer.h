#pragma once

// One HTTP port of kwo-serve, each connection handled by an HttpConnection
// on our loop: the -httpdir port (files of one folder, and WebSocket viewers
// as noVNC's page connects them: to the page's own host and port) and the
// -wsport port (WebSocket viewers only). (LibVNCServer's own server handles
// one connection at a time and drops it when the next one comes, which
// breaks a browser that loads a page's modules over several connections.)
//
// At most maxConnections at once: a new one beyond them replaces the oldest
// connection still waiting for its request, so that idle connections cannot
// keep clients out; when none waits, the new one is refused.
//
// Ownership: owns the listening sockets and the connections; the origin
// policy must outlive it.
// Failures: the constructor throws plat::Exception when the folder cannot be
// served.

#include "kwo-serve/HttpConnection.h"
#include "kwo-serve/HttpFiles.h"
#include "kwo-serve/ListenSockets.h"

#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kwoserve {

class FdWatch;
class OriginPolicy;

class HttpServer {
public:
  static constexpr size_t maxConnections = 64;

  // `folder`: none serves no files (the WebSocket port). `webSocket` takes
  // the connections of allowed WebSocket requests.
  HttpServer(const std::optional<std::string>& folder, ListenSockets listeners,
             const OriginPolicy& origins, std::function<void(int fd)> webSocket);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Ends connections past their deadline and destroys those that are done;
  // called after each loop pass.
  void collect();
  size_t connectionCount() const { return connections_.size(); }

private:
  void acceptFrom(int listener);
  bool makeRoom();

  std::optional<HttpFiles> files_;
  HttpConnection::Site site_;
  ListenSockets listeners_;
  std::vector<std::unique_ptr<FdWatch>> watches_;
  std::list<std::unique_ptr<HttpConnection>> connections_;
};

} // namespace kwoserve
