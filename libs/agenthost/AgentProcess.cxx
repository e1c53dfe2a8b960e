#include "libs/agenthost/AgentProcess.h"

#include "base/io/FdManager.h"
#include "base/io/FdSelectManager.h"
#include "base/os/UnixIo.h"
#include "base/plat/Assert.h"
#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/LogSrc.h"
#include "base/rdr/OutStream.h"

#include <chrono>
#include <csignal>

extern char** environ;

namespace agenthost {

namespace {

plat::LogSrc vlog("AgentProcess");

io::FdManager& currentManager() {
  if (io::FdManager* manager = io::FdManager::current())
    return *manager;
  return io::FdSelectManager::instance();
}

} // namespace

AgentProcess::AgentProcess(const AgentLaunch& launch, FromAgentHandler* handler,
                           Callback* callback, LaunchedChild::Watch watch)
  : launch_(launch), callback_(callback), manager_(currentManager()),
    channel_(*this, "Agent"), reader_(channel_), connectTimer_(*this) {
  // A setting refused below unwinds what was made before it (RAII members).
  std::vector<std::string> env = launch_.environmentFor(launch_.inheritEnvironment ? environ
                                                                                   : nullptr);
  socket_ = std::make_unique<AgentSocket>(static_cast<AgentSocket::Callback&>(*this),
                                          launch_.socketBase, manager_);
  commandLine_ = launch_.commandLine(socket_->path(), challenge_.hashHex());
  reader_.addHandler(static_cast<FromAgentHandler&>(*this));
  if (handler)
    reader_.addHandler(*handler);
  child_ = std::make_unique<LaunchedChild>(static_cast<LaunchedChild::Callback&>(*this),
                                           commandLine_, env, manager_, watch);
  connectTimer_.start(launch_.connectTimeoutMs);
  vlog.status("Launched %s (%s) as process %d, waiting on %s", launch_.agentPath.c_str(),
              AgentLaunch::modeWord(launch_.mode), int(child_->pid()), socket_->path().c_str());
}

AgentProcess::~AgentProcess() {
  connectTimer_.stop();
  channel_.close(false);
  // The agent quits when its server goes away; the signal makes sure.
  if (child_)
    child_->stop(launch_.terminateGraceMs);
  socket_->close();
}

void AgentProcess::connectionArrived(AgentSocket&, io::UniqueFd fd, const ucred& peer) {
  if (state_ != State::waiting)
    return;
  if (peer.pid != child_->pid()) {
    vlog.error("Dropped a connection from process %d: the agent is %d", int(peer.pid),
               int(child_->pid()));
    return;
  }
  try {
    connect(std::move(fd));
  } catch (plat::Exception& e) {
    fail(plat::format("Connecting the agent failed: %s", e.what()));
  }
}

void AgentProcess::connect(io::UniqueFd fd) {
  connectTimer_.stop();
  // Nobody else is to connect: the directory goes now, not at the end.
  socket_->close();
  auto io = std::make_unique<os::UnixIo>(fd.release(), false);
  // The challenge precedes the first frame. The connection is still
  // blocking (no handler yet), and 32 bytes fit any socket buffer.
  io->outStream().writeBytes(challenge_.bytes().data(), challenge_.bytes().size());
  io->outStream().flush();
  state_ = State::connected;
  channel_.accept(std::move(io));
  vlog.status("Agent %d connected", int(child_->pid()));
  if (callback_)
    callback_->agentConnected(*this);
}

void AgentProcess::fail(const std::string& reason) {
  if (state_ != State::waiting)
    return;
  state_ = State::failed;
  failure_ = reason;
  connectTimer_.stop();
  socket_->close();
  vlog.error("%s", reason.c_str());
  if (callback_)
    callback_->agentFailed(*this, reason);
}

void AgentProcess::childExited(LaunchedChild&, const ExitStatus& status) {
  fail(plat::format("Agent ended before connecting: %s", status.describe().c_str()));
  if (callback_)
    callback_->agentExited(*this, status);
}

bool AgentProcess::timerFired(plat::Timer&) {
  child_->signal(SIGTERM);
  fail(plat::format("Agent did not connect within %d ms", launch_.connectTimeoutMs));
  return false;
}

void AgentProcess::ipcClosed(io::MsgIpc&) {
  if (state_ != State::connected)
    return;
  state_ = State::disconnected;
  vlog.status("Agent %d disconnected", int(child_->pid()));
  if (callback_)
    callback_->agentDisconnected(*this);
}

void AgentProcess::setPixelBuffer(const agentmsg::SetPixelBuffer& msg) {
  try {
    pixelBuffer_.update(msg);
  } catch (plat::Exception& e) {
    vlog.error("Pixel buffer not mapped: %s", e.what());
  }
}

void AgentProcess::terminate() { child_->signal(SIGTERM); }

bool AgentProcess::waitUntil(const std::function<bool()>& condition, int timeoutMs) {
  PLAT_ASSERT(!pumping_);
  pumping_ = true;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool met = condition();
  while (!met) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    end - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0)
      break;
    manager_.processEvents(int(std::min<long long>(left, 100)));
    met = condition();
  }
  pumping_ = false;
  return met;
}

bool AgentProcess::waitForMsg(const std::string& name, int timeoutMs) {
  size_t& taken = taken_[name];
  bool gone = false;
  waitUntil(
      [&] {
        gone = state_ == State::disconnected || state_ == State::failed;
        return reader_.received(name) > taken || gone;
      },
      timeoutMs);
  if (reader_.received(name) <= taken)
    return false;
  taken++;
  return true;
}

bool AgentProcess::waitForExit(int timeoutMs) {
  return waitUntil([&] { return !child_->running(); }, timeoutMs);
}

} // namespace agenthost
