#include "libs/agenthost/AgentSocket.h"

#include "base/io/FdManager.h"
#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/LogSrc.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace agenthost {

namespace {

plat::LogSrc vlog("AgentSocket");

constexpr const char* socketName = "agent.sock";

} // namespace

AgentSocket::AgentSocket(Callback& callback, const std::string& base, io::FdManager& manager)
  : callback_(callback), manager_(&manager) {
  std::string templ = base + "/kwoagent-XXXXXX";
  if (templ.size() + 1 + std::strlen(socketName) >= sizeof(sockaddr_un::sun_path))
    throw plat::Exception(
        plat::format("Socket directory base '%s' is too long for a socket address", base.c_str()));
  std::vector<char> name(templ.begin(), templ.end());
  name.push_back('\0');
  // mkdtemp makes the directory with mode 0700.
  if (!mkdtemp(name.data()))
    throw plat::SystemException("mkdtemp", errno);
  directory_ = name.data();
  path_ = directory_ + "/" + socketName;
  try {
    listen();
  } catch (...) {
    close();
    throw;
  }
}

AgentSocket::~AgentSocket() { close(); }

void AgentSocket::listen() {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0)
    throw plat::SystemException("socket", errno);
  listener_.reset(fd);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    throw plat::SystemException("bind", errno);
  if (::listen(fd, 4) != 0)
    throw plat::SystemException("listen", errno);
  fd_ = fd;
  manager_->addHandler(*this);
  registered_ = true;
  manager_->setEvents(*this, true, false);
  vlog.debug("Listening on %s", path_.c_str());
}

void AgentSocket::close() {
  if (registered_ && manager_) {
    manager_->setEvents(*this, false, false);
    manager_->removeHandler(*this);
  }
  registered_ = false;
  fd_ = -1;
  listener_.reset();
  if (!path_.empty() && unlink(path_.c_str()) != 0 && errno != ENOENT)
    vlog.error("unlink(%s): %s", path_.c_str(), strerror(errno));
  if (!directory_.empty() && rmdir(directory_.c_str()) != 0 && errno != ENOENT)
    vlog.error("rmdir(%s): %s", directory_.c_str(), strerror(errno));
  path_.clear();
  directory_.clear();
}

void AgentSocket::handleRead() {
  // Several connections may be waiting; take them all. The callback may
  // close this object, which ends the loop.
  while (listener_) {
    int fd = accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
        vlog.error("accept: %s", strerror(errno));
      return;
    }
    io::UniqueFd connection(fd);
    ucred peer{-1, uid_t(-1), gid_t(-1)};
    socklen_t length = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
      peer = ucred{-1, uid_t(-1), gid_t(-1)};
    callback_.connectionArrived(*this, std::move(connection), peer);
  }
}

void AgentSocket::fdManagerGone() {
  registered_ = false;
  manager_ = nullptr;
}

} // namespace agenthost
