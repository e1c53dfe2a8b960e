#pragma once

// kwo-serve itself: launches the agent on a display (an existing one, or a
// virtual one it starts), serves the agent's pixel buffer to viewers through
// VncScreen, and carries input, clipboard, cursor and size requests between
// the two.
//
// Agent protocol as used here: "start" when the first viewer comes and
// "stop" when the last goes; exactly one "fbUpdateRequest" outstanding
// while a viewer waits for pixels; every "fbUpdate" is compared with the
// picture served so far, and the viewers get what really changed.
//
// Ownership: owns the virtual display, the agent and the screen; they are
// destroyed screen first (it reads from the agent's mapping), then the
// agent (terminated and reaped, its socket removed), then the display, then
// the files holding the X cookie and the generated password.
// An agent that dies is replaced by a new one on the same display, and the
// viewers stay connected (their updates wait for the new agent's picture);
// kwo-serve gives up when the display is gone, when the first agent never
// connects, or after RestartBudget's failures.
// run() returns the process exit status: 0 after SIGINT/SIGTERM, 1 when it
// gave up on the agent.

#include "base/io/UniqueFd.h"
#include "kwo-serve/Options.h"
#include "kwo-serve/PrivateFile.h"
#include "kwo-serve/RestartBudget.h"
#include "kwo-serve/RuntimeDir.h"
#include "kwo-serve/XCookieFile.h"
#include "kwo-serve/VirtualDesktop.h"
#include "kwo-serve/VncScreen.h"
#include "libs/agenthost/AgentProcess.h"

#include <memory>
#include <optional>
#include <string>

namespace kwoserve {

class FdWatch;

class ServeApp : private agenthost::FromAgentHandler,
                 private agenthost::AgentProcess::Callback,
                 private VncScreen::Callback {
public:
  // Throws plat::Exception when the display, the agent or the listener
  // cannot be set up.
  explicit ServeApp(const Options& options);
  ~ServeApp() override;
  ServeApp(const ServeApp&) = delete;
  ServeApp& operator=(const ServeApp&) = delete;

  int run();
  // Makes run() return with `status` after the current pass, saying why.
  void quit(int status, const std::string& why);

private:
  // agenthost::FromAgentHandler
  void initRectAndPf(const agentmsg::InitRectAndPf& msg) override;
  void setPixelBuffer(const agentmsg::SetPixelBuffer& msg) override;
  void setColourMapEntries(const agentmsg::SetColourMapEntries& msg) override;
  void fbUpdate(const agentmsg::FbUpdate& msg) override;
  void setCursorImage(const agentmsg::SetCursorImage& msg) override;
  void setCursorPos(const agentmsg::SetCursorPos& msg) override;
  void bell(const agentmsg::Bell& msg) override;
  void serverCutText(const agentmsg::ServerCutText& msg) override;
  void desktopFailure(const agentmsg::DesktopFailure& msg) override;
  void closeClients(const agentmsg::CloseClients& msg) override;
  void captureBroken(const agentmsg::CaptureBroken& msg) override;
  void logMsg(const agentmsg::LogMsg& msg) override;

  // agenthost::AgentProcess::Callback
  void agentConnected(agenthost::AgentProcess& agent) override;
  void agentDisconnected(agenthost::AgentProcess& agent) override;
  void agentFailed(agenthost::AgentProcess& agent, const std::string& reason) override;
  void agentExited(agenthost::AgentProcess& agent, const agenthost::ExitStatus& status) override;

  // VncScreen::Callback
  void viewerKey(uint32_t keysym, bool down) override;
  void viewerPointer(int x, int y, uint32_t buttonMask) override;
  void viewerCutText(const std::string& text) override;
  bool viewerResize(int width, int height) override;
  void viewersChanged(int count) override;

  // Made when first needed: not every setup keeps files there.
  const RuntimeDir& runtimeDir();
  void launchAgent();
  // The agent is gone (callbacks come once for each reason): replaced from
  // the loop, where it may be destroyed.
  void agentLost(const std::string& why);
  void replaceAgent();
  bool displayAlive() const;
  void writePasswordFiles(const std::string& password);
  void printBanner(const std::string& password);
  void startOrStopDesktop();
  void requestUpdateIfWaiting();
  void handleSignal();
  template <class Msg>
  void send(const Msg& msg);

  Options options_;
  std::unique_ptr<RuntimeDir> runtimeDir_;
  std::unique_ptr<PrivateFile> passwordFile_;
  // The password for `vncviewer -passwd`.
  std::unique_ptr<PrivateFile> vncPasswordFile_;
  std::unique_ptr<XCookieFile> cookieFile_;
  std::unique_ptr<VirtualDesktop> virtualDesktop_;
  std::string display_;
  std::unique_ptr<agenthost::AgentProcess> agent_;
  std::unique_ptr<VncScreen> screen_;
  io::UniqueFd signalFd_;
  std::unique_ptr<FdWatch> signalWatch_;
  bool desktopStarted_ = false;
  bool agentEverConnected_ = false;
  std::optional<std::string> agentLost_;
  RestartBudget restarts_;
  bool updateRequested_ = false;
  std::optional<int> exitStatus_;
};

} // namespace kwoserve
