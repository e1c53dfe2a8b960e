#include "base/os/UnixIo.h"

#include "base/io/UniqueFd.h"
#include "base/plat/Exception.h"
#include "base/plat/Format.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

namespace os {

namespace {

// Paths come from a command line or the file system and may hold any byte;
// names and addresses end up in log lines, where control characters, and
// the character that closes the surrounding form, would mislead.
std::string escapePath(std::string_view path, char closer) {
  std::string text;
  for (char c : path) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f || c == '\\' || c == closer)
      text += plat::format("\\x%02x", byte);
    else
      text += c;
  }
  return text;
}

std::optional<uid_t> kernelPeerUid(int fd) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof credentials)
    return std::nullopt;
  return credentials.uid;
}

void connectRetrying(int fd, const sockaddr_un& address) {
  bool interrupted = false;
  while (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    // An interrupted connect may have completed in the background; the
    // retry then reports that the socket is connected already.
    if (interrupted && errno == EISCONN)
      return;
    if (errno != EINTR)
      throw plat::SystemException("connect", errno);
    interrupted = true;
  }
}

} // namespace

UnixIo::UnixIo(int fd, bool client, const std::optional<std::string>& path)
  : FdIo(fd, true), peerUid_(kernelPeerUid(fd)) {
  name_ = plat::format("<unix-%s-%s", client ? "client" : "server",
                       path ? escapePath(*path, '>').c_str() : "anon");
  if (peerUid_)
    name_ += plat::format("-uid-%lu", static_cast<unsigned long>(*peerUid_));
  name_ += ">";
}

std::unique_ptr<UnixIo> UnixIo::connectTo(const std::string& path) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path)
    throw plat::SystemException("UnixIo", ENAMETOOLONG);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());

  io::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd)
    throw plat::SystemException("socket", errno);
  connectRetrying(fd.get(), address);
  return std::make_unique<UnixIo>(fd.release(), true, path);
}

const std::string& UnixIo::name() {
  return name_;
}

std::string UnixIo::peerAddress() {
  if (peerAddress_)
    return *peerAddress_;
  sockaddr_un address{};
  socklen_t length = sizeof address;
  peerAddress_.emplace();
  if (::getpeername(getFd(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return *peerAddress_;
  size_t pathBytes = length > offsetof(sockaddr_un, sun_path) ? length - offsetof(sockaddr_un, sun_path) : 0;
  std::string_view path(address.sun_path, ::strnlen(address.sun_path, pathBytes));
  if (address.sun_family == AF_UNIX && !path.empty() && path[0] == '/')
    *peerAddress_ = "[unix:" + escapePath(path, ']') + "]";
  return *peerAddress_;
}

bool UnixIo::hasProperty(std::string_view property) const {
  return property == "secureTransport";
}

} // namespace os
