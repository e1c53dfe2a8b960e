#include "AgentTestPeer.h"

#include "base/crypto/mbedtls/Sha256.h"
#include "base/plat/Exception.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <random>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace e2e {

namespace {

const char* const agentPath = KWO_AGENT_PATH;

std::string hex(const uint8_t* bytes, size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < length; i++) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

void check(bool ok, const char* what) {
  if (!ok)
    throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

int remainingMs(std::chrono::steady_clock::time_point end) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
    end - std::chrono::steady_clock::now());
  return left.count() > 0 ? int(left.count()) : 0;
}

void writeAll(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, data, length);
    if (n < 0 && errno == EINTR)
      continue;
    check(n > 0, "write");
    data += n;
    length -= size_t(n);
  }
}

} // namespace

AgentTestPeer::AgentTestPeer(std::string display) : display_(std::move(display)) {
  char pattern[] = "/tmp/kwo-agent-peer-XXXXXX";
  check(::mkdtemp(pattern) != nullptr, "mkdtemp");
  dir_ = pattern;
  socketPath_ = dir_ + "/pipe";
}

AgentTestPeer::~AgentTestPeer() {
  framedIn_.reset();
  framedOut_.reset();
  in_.reset();
  out_.reset();
  if (fd_ >= 0)
    ::close(fd_);
  if (listenFd_ >= 0)
    ::close(listenFd_);
  if (pid_ > 0 && !exitStatus_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  ::unlink(socketPath_.c_str());
  ::unlink((dir_ + "/stderr").c_str());
  ::rmdir(dir_.c_str());
}

void AgentTestPeer::makeListener() {
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  check(listenFd_ >= 0, "socket");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath_.c_str(), sizeof address.sun_path - 1);
  check(::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "bind");
  check(::listen(listenFd_, 1) == 0, "listen");
}

void AgentTestPeer::launch(Pipe pipe, bool wrongHash, const std::vector<std::string>& extraArgs) {
  std::vector<std::string> argv = {agentPath, "user"};
  std::array<uint8_t, 32> challenge{};
  int pair[2] = {-1, -1};
  int childFd = -1;
  switch (pipe) {
  case Pipe::socketPath: {
    makeListener();
    std::random_device random;
    for (uint8_t& byte : challenge)
      byte = uint8_t(random());
    crypto::Sha256::Digest digest = crypto::Sha256::digest(challenge.data(), challenge.size());
    argv.insert(argv.end(), {"-hash", hex(digest.data(), digest.size()), socketPath_});
    if (wrongHash)
      challenge[7] ^= 0x40;
    break;
  }
  case Pipe::descriptor:
    childFd = 5;
    argv.push_back(std::to_string(childFd));
    break;
  case Pipe::dummy:
    childFd = 0;
    argv.push_back("-dummy");
    break;
  }
  argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
  if (pipe != Pipe::socketPath)
    check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
  spawn(argv, pair[1], childFd);
  if (pipe != Pipe::socketPath) {
    ::close(pair[1]);
    attach(pair[0]);
    return;
  }
  attach(acceptAgent());
  writeAll(fd_, challenge.data(), challenge.size());
}

void AgentTestPeer::spawn(const std::vector<std::string>& argv, int connectionFd, int childFd) {
  std::string errPath = dir_ + "/stderr";
  std::vector<char*> args;
  for (const std::string& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  // The environment is built before fork: the child may only make
  // async-signal-safe calls.
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; entry++) {
    if (std::strncmp(*entry, "DISPLAY=", 8) != 0)
      environment.push_back(*entry);
  }
  environment.push_back("DISPLAY=" + display_);
  std::vector<char*> envp;
  for (const std::string& entry : environment)
    envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  pid_ = ::fork();
  check(pid_ >= 0, "fork");
  if (pid_ > 0)
    return;
  // Child: only async-signal-safe calls from here on.
  int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int null = ::open("/dev/null", O_RDWR);
  if (err < 0 || null < 0)
    ::_exit(127);
  ::dup2(null, 0);
  ::dup2(err, 2);
  // dup2 clears close-on-exec on the copy, but does nothing at all when the
  // descriptor already has the wanted number.
  if (connectionFd >= 0 && connectionFd != childFd)
    ::dup2(connectionFd, childFd);
  else if (connectionFd >= 0)
    ::fcntl(childFd, F_SETFD, 0);
  ::execve(args[0], args.data(), envp.data());
  ::_exit(127);
}

void AgentTestPeer::wait(int fd, short events) {
  auto end = std::chrono::steady_clock::now() + deadline;
  pollfd p{fd, events, 0};
  for (;;) {
    int n = ::poll(&p, 1, remainingMs(end));
    if (n > 0)
      return;
    if (n < 0 && errno == EINTR)
      continue;
    check(n >= 0, "poll");
    throw plat::TimedOut();
  }
}

int AgentTestPeer::acceptAgent() {
  wait(listenFd_, POLLIN);
  int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  check(fd >= 0, "accept");
  return fd;
}

void AgentTestPeer::attach(int fd) {
  fd_ = fd;
  int timeoutMs = int(std::chrono::milliseconds(deadline).count());
  in_ = std::make_unique<rdr::FdInStream>(fd_, timeoutMs);
  out_ = std::make_unique<rdr::FdOutStream>(fd_, timeoutMs);
  framedIn_ = std::make_unique<rdr::InStreamV4>(in_.get());
  framedOut_ = std::make_unique<rdr::OutStreamV4>(out_.get());
}

AgentTestPeer::Message AgentTestPeer::receive() {
  rdr::InStreamV4& in = *framedIn_;
  in.startMsg(true);
  Message m;
  m.name = in.readShortString();
  while (!in.atEnd())
    m.payload.push_back(in.readU8());
  in.endMsg();
  return m;
}

AgentTestPeer::Message AgentTestPeer::receiveUntil(const std::string& name) {
  for (;;) {
    Message m = receive();
    if (m.name == name)
      return m;
    skipped_.push_back(std::move(m));
  }
}

std::vector<AgentTestPeer::Message> AgentTestPeer::receiveUntilClosed() {
  std::vector<Message> got;
  try {
    for (;;)
      got.push_back(receive());
  } catch (const plat::Exception& e) {
    if (std::strcmp(e.type(), "EndOfStream") != 0)
      throw;
  }
  return got;
}

void AgentTestPeer::send(const std::string& name,
                         const std::function<void(rdr::OutStream&)>& payload) {
  rdr::OutStreamV4& out = *framedOut_;
  out.startMsg();
  out.writeShortString(name);
  if (payload)
    payload(out);
  out.endMsg(true);
}

void AgentTestPeer::sendChannelBreaker() {
  send("!");
}

void AgentTestPeer::disconnect() {
  framedIn_.reset();
  framedOut_.reset();
  in_.reset();
  out_.reset();
  ::close(fd_);
  fd_ = -1;
}

void AgentTestPeer::signal(int signal) {
  check(::kill(pid_, signal) == 0, "kill");
}

int AgentTestPeer::waitForExit() {
  if (exitStatus_)
    return *exitStatus_;
  auto end = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    check(done >= 0, "waitpid");
    if (done == pid_) {
      exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return *exitStatus_;
    }
    if (std::chrono::steady_clock::now() > end)
      throw plat::TimedOut();
    // Nothing to wait on but the child itself; poll it gently.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string AgentTestPeer::stderrText() const {
  std::ifstream file(dir_ + "/stderr");
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

} // namespace e2e
