#pragma once

// kwo-serve's HTTP file server (-httpdir): the files of one folder to any
// number of connections at once, each handled by an HttpConnection on our
// loop. (LibVNCServer's own server handles one connection at a time and
// drops it when the next one comes, which breaks a browser that loads a
// page's modules over several connections.)
//
// Ownership: owns the listening sockets and the connections.
// Failures: the constructor throws plat::Exception when the folder cannot be
// served or the IPv4 port cannot be opened; IPv6 is tried, not required.

#include "kwo-serve/HttpFiles.h"

#include <list>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <vector>

namespace kwoserve {

class FdWatch;
class HttpConnection;

class HttpServer {
public:
  HttpServer(const std::string& folder, in_addr_t address, const std::string& address6, int port);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Destroys the connections that are done; called after each loop pass.
  void collect();
  size_t connectionCount() const { return connections_.size(); }

private:
  void acceptFrom(int listener);

  HttpFiles files_;
  std::vector<int> listeners_;
  std::vector<std::unique_ptr<FdWatch>> watches_;
  std::list<std::unique_ptr<HttpConnection>> connections_;
};

} // namespace kwoserve
