#include "base/os/LaunchedProcessPipe.h"

#include "base/crypto/mbedtls/Sha256.h"
#include "base/io/FdIo.h"
#include "base/io/TcpIo.h"
#include "base/io/UniqueFd.h"
#include "base/loc/Catalogue.h"
#include "base/os/UnixIo.h"
#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/HexDigit.h"
#include "base/plat/Time.h"
#include "base/rdr/InStream.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace os {

namespace {

// The launcher sends this many bytes before the first frame when it asks
// for a hash check; their digest is what "-hash" names.
constexpr size_t challengeSize = 32;

const char* argAt(int argc, const char* const* argv, int index) {
  return index < argc ? argv[index] : nullptr;
}

// Two digits per byte, nothing else; an empty text is as bad as a missing one.
std::vector<uint8_t> decodeHash(const char* text) {
  const plat::Exception bad("-hash argument bad or missing");
  if (!text || !*text)
    throw bad;
  size_t length = std::strlen(text);
  if (length % 2 != 0)
    throw bad;
  std::vector<uint8_t> bytes;
  bytes.reserve(length / 2);
  for (size_t i = 0; i < length; i += 2) {
    int high = plat::hexDigitValue(text[i]);
    int low = plat::hexDigitValue(text[i + 1]);
    if (high < 0 || low < 0)
      throw bad;
    bytes.push_back(uint8_t(high << 4 | low));
  }
  return bytes;
}

// A pipe name made only of decimal digits is a descriptor we inherited.
std::optional<int> descriptorNumber(const std::string& name) {
  if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  int fd = -1;
  auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), fd);
  // Beyond int no descriptor can carry the number; say so as fcntl() would.
  if (error != std::errc())
    throw plat::SystemException("fcntl(FD_CLOEXEC)", EBADF);
  return fd;
}

void setCloseOnExec(int fd) {
  int flags = ::fcntl(fd, F_GETFD);
  if (flags < 0 || ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0)
    throw plat::SystemException("fcntl(FD_CLOEXEC)", errno);
}

int socketType(int fd) {
  int type = 0;
  socklen_t length = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0)
    return -1;
  return type;
}

enum class FdKind { unixSocket, tcpSocket, other };

FdKind classify(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode))
    return FdKind::other;
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return FdKind::other;
  if (length < sizeof address.ss_family || address.ss_family == AF_UNIX)
    return FdKind::unixSocket;
  bool inet = address.ss_family == AF_INET || address.ss_family == AF_INET6;
  if (inet && socketType(fd) == SOCK_STREAM)
    return FdKind::tcpSocket;
  return FdKind::other;
}

void waitForChild(pid_t child) {
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

// Detaches from the launcher: the first process returns to it at once, the
// intermediate one leaves its session, and the grandchild, which can never
// regain a controlling terminal, carries on.
void daemoniseProcess() {
  // Buffered output would otherwise be written by every copy of the process.
  std::fflush(nullptr);
  pid_t child = ::fork();
  if (child < 0)
    throw plat::SystemException("fork", errno);
  if (child > 0) {
    waitForChild(child);
    ::_exit(0);
  }
  ::setsid();
  pid_t grandchild = ::fork();
  if (grandchild < 0) {
    std::fprintf(stderr, "fork error %s\n", std::strerror(errno));
    ::_exit(1);
  }
  if (grandchild > 0)
    ::_exit(0);
}

// The debug file sits in a world-writable directory and we may run as root:
// a name that another user planted (a link, a pipe, a file of theirs) must
// not make us write where they chose or read what we write. /dev/null and
// other devices are fine; nobody but root creates those.
void checkStdErrTarget(int fd, const std::string& path) {
  struct stat status {};
  if (::fstat(fd, &status) != 0)
    throw plat::SystemException("fstat", errno);
  if (S_ISCHR(status.st_mode))
    return;
  if (S_ISREG(status.st_mode) && status.st_uid == ::geteuid() && status.st_nlink == 1)
    return;
  throw plat::Exception(
    plat::format("Standard error not redirected: %s is not a file of this user", path.c_str()));
}

void clearNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0)
    throw plat::SystemException("fcntl(F_SETFL)", errno);
}

void writeConnectingLine(const std::string& pipeName) {
  std::string now =
    plat::formatDateTime("%Y-%m-%d %H:%M:%SZ", plat::utcDateTime(plat::wallTimeNow()));
  std::fprintf(stderr, "%s: connecting to '%s'\n", now.c_str(), pipeName.c_str());
}

} // namespace

LaunchedProcessPipe::LaunchedProcessPipe(std::string stdErrFile, std::string debugFile)
  : stdErrFile_(std::move(stdErrFile)), debugFile_(std::move(debugFile)) {}

std::unique_ptr<io::Io> LaunchedProcessPipe::connect(int argc, const char* const* argv,
                                                     int& cursor, int requiredExtra) {
  try {
    const char* first = argAt(argc, argv, cursor);
    if (first && std::strcmp(first, "-dummy") == 0) {
      cursor++;
      return wrapInheritedFd(STDIN_FILENO);
    }
    parse(argc, argv, cursor, requiredExtra);
    if (fork_)
      daemoniseProcess();
    if (std::optional<int> fd = descriptorNumber(*pipeName_))
      return wrapInheritedFd(*fd);
    return connectPipe();
  } catch (const plat::Exception& e) {
    // Logging only reaches the launcher through the connection being made
    // here, so standard error is the one place this can be seen.
    std::fprintf(stderr, "%s\n", e.str());
    throw;
  }
}

void LaunchedProcessPipe::parse(int argc, const char* const* argv, int& cursor,
                                int requiredExtra) {
  for (const char* arg; (arg = argAt(argc, argv, cursor)); cursor++) {
    if (std::strcmp(arg, "-lppDebug") == 0) {
      debug_ = true;
      stdErrFile_ = debugFile_;
    } else if (std::strcmp(arg, "-hash") == 0) {
      expectedHash_ = decodeHash(argAt(argc, argv, ++cursor));
    } else if (std::strcmp(arg, "-fork") == 0) {
      fork_ = true;
    } else {
      break;
    }
  }
  const char* name = argAt(argc, argv, cursor);
  if (!name || name[0] == '-')
    throw plat::Exception(plat::format("Bad command-line: got %s instead of pipe name",
                                       name ? name : "<null>"));
  pipeName_ = name;
  cursor++;
  for (int i = 0; i < requiredExtra; i++) {
    if (!argAt(argc, argv, cursor + i))
      throw plat::Exception(loc::text("plat_this_program_not_directly"));
  }
}

std::unique_ptr<io::Io> LaunchedProcessPipe::connectPipe() {
  redirectStdErr();
  writeConnectingLine(*pipeName_);
  std::unique_ptr<UnixIo> io = UnixIo::connectTo(*pipeName_);
  if (!expectedHash_.empty())
    checkHash(*io);
  return io;
}

void LaunchedProcessPipe::redirectStdErr() const {
  // Not following links, owner-only and, through O_NONBLOCK, not stalling
  // on a FIFO planted at the name.
  int flags = O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  io::UniqueFd fd(::open(stdErrFile_.c_str(), flags, 0600));
  if (!fd)
    throw plat::SystemException(plat::format("open(%s)", stdErrFile_.c_str()), errno);
  checkStdErrTarget(fd.get(), stdErrFile_);
  clearNonBlocking(fd.get());
  while (::dup2(fd.get(), STDERR_FILENO) < 0) {
    if (errno != EINTR)
      throw plat::SystemException("dup2", errno);
  }
}

void LaunchedProcessPipe::checkHash(io::Io& io) const {
  uint8_t challenge[challengeSize];
  rdr::InStream& in = io.inStream();
  in.readBytes(challenge, sizeof challenge);
  // The challenge precedes the message channel and must not reach it.
  in.checkpoint();
  crypto::Sha256::Digest digest = crypto::Sha256::digest(challenge, sizeof challenge);
  if (!crypto::Sha256::matches(digest, expectedHash_))
    throw plat::Exception("Bad hash");
}

std::unique_ptr<io::Io> LaunchedProcessPipe::wrapInheritedFd(int fd) {
  setCloseOnExec(fd);
  switch (classify(fd)) {
  case FdKind::unixSocket:
    return std::make_unique<UnixIo>(fd, false);
  case FdKind::tcpSocket:
    return std::make_unique<io::TcpIo>(fd);
  case FdKind::other:
    break;
  }
  return std::make_unique<io::FdIo>(fd, true);
}

} // namespace os
