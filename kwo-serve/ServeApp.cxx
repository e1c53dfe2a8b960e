#include "kwo-serve/ServeApp.h"

#include "base/io/FdManager.h"
#include "base/io/FdSelectManager.h"
#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/LogSrc.h"
#include "kwo-serve/AgentPath.h"
#include "kwo-serve/FdWatch.h"
#include "kwo-serve/PasswordFile.h"
#include "kwo-serve/Secrets.h"
#include "kwo-serve/ServeBanner.h"
#include "libs/agentmsg/ToAgentMsgs.h"

#include <X11/Xlib.h>

#include <csignal>
#include <cstdio>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kwoserve {

namespace {

plat::LogSrc slog("ServeApp");

constexpr int agentLogDefault = 30;

} // namespace

ServeApp::ServeApp(const Options& options) : options_(options) {
  options_.checkSafety();
  if (options_.agentPath.empty())
    options_.agentPath = AgentPath::find(AgentPath::selfDir(), KWO_DEFAULT_AGENT);

  // Signals become loop events, so that shutting down runs the destructors.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  signalFd_.reset(signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!signalFd_)
    throw plat::SystemException("signalfd", errno);
  signalWatch_ = std::make_unique<FdWatch>(signalFd_.get(), [this] { handleSignal(); });

  VncScreen::Settings settings;
  settings.listenAddress = options_.listenAddress;
  settings.port = options_.port;
  settings.wsPort = options_.wsPort;
  settings.httpDir = options_.httpDir;
  settings.httpPort = options_.httpPortOrDefault();
  // noVNC, when installed, unless another folder is named.
  std::string noVncPage = std::string(Options::noVncDir) + "/vnc.html";
  if (!settings.httpDir && access(noVncPage.c_str(), R_OK) == 0) {
    settings.httpDir = Options::noVncDir;
    settings.httpOptional = true;
  }
  settings.maxClients = options_.maxClients;
  settings.wsOrigins = options_.wsOrigins;
  settings.desktopName = options_.desktopName;
  if (options_.passwordFile)
    settings.passwords = PasswordFile::read(*options_.passwordFile);
  else if (!options_.noPassword)
    settings.passwords = {Secrets::randomPassword()};
  // Black until the agent says what its screen is.
  screen_ = std::make_unique<VncScreen>(static_cast<VncScreen::Callback&>(*this), settings, options_.width, options_.height,
                                        rfb::PixelFormat::rgb888());
  // Until the agent has shown the screen.
  screen_->holdPictures(true);
  std::string password = settings.passwords.empty() ? "" : settings.passwords.front();
  if (options_.noPassword)
    fprintf(stderr, "kwo-serve: WARNING: -nopassword: every local user can take over the "
                    "desktop\n");
  else
    writePasswordFiles(password);

  const char* envDisplay = getenv("DISPLAY");
  if (options_.display) {
    display_ = *options_.display;
  } else if (envDisplay && *envDisplay) {
    display_ = envDisplay;
  } else {
    std::string tag = std::to_string(options_.port);
    cookieFile_ = std::make_unique<XCookieFile>(runtimeDir().file("Xauthority-" + tag));
    virtualDesktop_ = std::make_unique<VirtualDesktop>(options_.width, options_.height,
                                                       options_.depth, cookieFile_->path());
    display_ = virtualDesktop_->displayName();
  }
  launchAgent();
  printBanner(password);
}

void ServeApp::writePasswordFiles(const std::string& password) {
  // Named after the port, which is ours now: instances do not clash.
  std::string tag = std::to_string(options_.port);
  if (!options_.passwordFile)
    passwordFile_ = std::make_unique<PrivateFile>(runtimeDir().file("password-" + tag),
                                                  password + "\n");
  vncPasswordFile_ = std::make_unique<PrivateFile>(
      runtimeDir().file("vncpasswd-" + tag),
      Secrets::vncPasswdFile(password, runtimeDir().file("vncpasswd-" + tag + ".new")));
}

void ServeApp::printBanner(const std::string& password) {
  ServeBanner banner;
  banner.display = display_;
  banner.listenAddress = options_.listenAddress;
  banner.port = options_.port;
  if (screen_->servesHttp()) {
    banner.httpPort = options_.httpPortOrDefault();
    std::string folder = options_.httpDir ? *options_.httpDir : Options::noVncDir;
    banner.noVncPage = access((folder + "/vnc.html").c_str(), R_OK) == 0;
  }
  banner.password = password;
  // A password of the user's own is not printed (the URL asks for it).
  banner.passwordInUrl = !options_.passwordFile;
  banner.passwordFile = options_.passwordFile ? *options_.passwordFile
                        : passwordFile_       ? passwordFile_->path()
                                              : "";
  if (vncPasswordFile_)
    banner.vncPasswordFile = vncPasswordFile_->path();
  fputs(banner.text().c_str(), stderr);
}

ServeApp::~ServeApp() {
  // The screen points into the agent's mapping: it goes first.
  screen_.reset();
  agent_.reset();
  virtualDesktop_.reset();
}

const RuntimeDir& ServeApp::runtimeDir() {
  if (!runtimeDir_)
    runtimeDir_ = std::make_unique<RuntimeDir>();
  return *runtimeDir_;
}

void ServeApp::launchAgent() {
  agenthost::AgentLaunch launch;
  launch.agentPath = options_.agentPath;
  launch.mode = virtualDesktop_ ? agenthost::AgentMode::virtualDisplay : agenthost::AgentMode::user;
  launch.display = display_;
  if (virtualDesktop_)
    launch.environment = virtualDesktop_->clientEnvironment();
  slog.status("Starting %s on display %s (%s mode)", options_.agentPath.c_str(), display_.c_str(),
              agenthost::AgentLaunch::modeWord(launch.mode));
  agent_ = std::make_unique<agenthost::AgentProcess>(
      launch, static_cast<agenthost::FromAgentHandler*>(this),
      static_cast<agenthost::AgentProcess::Callback*>(this));
}

int ServeApp::run() {
  io::FdManager* manager = io::FdManager::current();
  if (!manager)
    manager = &io::FdSelectManager::instance();
  while (!exitStatus_) {
    manager->processEvents(screen_->idleTimeoutMs());
    if (agentLost_ && !exitStatus_)
      replaceAgent();
    if (exitStatus_)
      break;
    screen_->pump();
    requestUpdateIfWaiting();
  }
  return *exitStatus_;
}

void ServeApp::quit(int status, const std::string& why) {
  if (exitStatus_)
    return;
  fprintf(stderr, "kwo-serve: %s\n", why.c_str());
  exitStatus_ = status;
}

void ServeApp::handleSignal() {
  signalfd_siginfo info;
  while (read(signalFd_.get(), &info, sizeof(info)) == ssize_t(sizeof(info)))
    quit(0, plat::format("received %s, shutting down", strsignal(int(info.ssi_signo))));
}

template <class Msg>
void ServeApp::send(const Msg& msg) {
  if (!agent_ || agent_->state() != agenthost::AgentProcess::State::connected)
    return;
  try {
    agent_->send(msg);
  } catch (const plat::Exception& e) {
    slog.error("Sending \"%s\" to the agent failed: %s", Msg::name, e.str());
  }
}

// --- The agent's side ---

void ServeApp::agentConnected(agenthost::AgentProcess& agent) {
  slog.status("Agent connected (pid %d)", int(agent.pid()));
  agentEverConnected_ = true;
  send(agentmsg::SetLogLevel{uint32_t(options_.agentLogLevel)});
  agentmsg::SetParams params;
  // The clipboard bridge is off in the agent unless asked for.
  params.records.push_back({"EnableClipboard", "1", 10});
  for (const auto& [name, value] : options_.params)
    params.records.push_back({name, value, 10});
  send(params);
  startOrStopDesktop();
}

void ServeApp::agentDisconnected(agenthost::AgentProcess& agent) {
  agentLost("it closed its connection");
}

void ServeApp::agentFailed(agenthost::AgentProcess& agent, const std::string& reason) {
  if (!agentEverConnected_)
    quit(1, "the agent could not be started: " + reason);
  else
    agentLost("the new one could not be started: " + reason);
}

void ServeApp::agentExited(agenthost::AgentProcess& agent, const agenthost::ExitStatus& status) {
  agentLost("it ended: " + status.describe());
}

void ServeApp::agentLost(const std::string& why) {
  if (!agentLost_ && !exitStatus_)
    agentLost_ = why;
  desktopStarted_ = false;
  updateRequested_ = false;
}

bool ServeApp::displayAlive() const {
  if (virtualDesktop_ && !virtualDesktop_->running())
    return false;
  // (A virtual display's cookie is in XAUTHORITY already: VirtualDesktop.)
  // A connection can fail for a moment while the X server cleans up
  // after the agent: only one that keeps failing means the display is gone.
  for (int attempt = 0; attempt < 10; attempt++) {
    if (Display* dpy = XOpenDisplay(display_.c_str())) {
      XCloseDisplay(dpy);
      return true;
    }
    usleep(100 * 1000);
  }
  return false;
}

void ServeApp::replaceAgent() {
  std::string why = *agentLost_;
  agentLost_.reset();
  fprintf(stderr, "kwo-serve: the agent is gone (%s)\n", why.c_str());
  // Viewers keep their picture and wait for the new agent's; the screen
  // lets go of the old agent's pixels before they are unmapped.
  screen_->holdPictures(true);
  const agenthost::SharedPixelBuffer& buffer = agent_->pixelBuffer();
  if (buffer.valid())
    screen_->useOwnBuffer(buffer.rect().width(), buffer.rect().height(), buffer.pf());
  agent_.reset();
  if (!displayAlive()) {
    quit(1, "the X display " + display_ + " is gone; shutting down");
    return;
  }
  if (!restarts_.failed(std::chrono::steady_clock::now())) {
    quit(1, plat::format("the agent failed %d times within %lld s; giving up",
                         RestartBudget::maxFailures,
                         (long long)std::chrono::duration_cast<std::chrono::seconds>(
                             RestartBudget::window).count()));
    return;
  }
  fprintf(stderr, "kwo-serve: starting a new agent on display %s\n", display_.c_str());
  try {
    launchAgent();
  } catch (const plat::Exception& e) {
    agentLost(e.str());
  }
}

void ServeApp::initRectAndPf(const agentmsg::InitRectAndPf& msg) {
  slog.status("Agent screen %dx%d, %s", msg.rect.width(), msg.rect.height(),
              msg.pf.print().c_str());
  if (!agent_->pixelBuffer().valid())
    screen_->useOwnBuffer(msg.rect.width(), msg.rect.height(), msg.pf);
}

void ServeApp::setPixelBuffer(const agentmsg::SetPixelBuffer& msg) {
  const agenthost::SharedPixelBuffer& buffer = agent_->pixelBuffer();
  if (!buffer.valid()) {
    slog.error("The agent's pixel buffer could not be mapped; showing black");
    screen_->useOwnBuffer(msg.rect.width(), msg.rect.height(), msg.pf);
  } else {
    screen_->useSharedBuffer(buffer.pixels(), buffer.rect().width(), buffer.rect().height(),
                             buffer.stride(), buffer.pf());
  }
  // The agent fills its buffer before announcing it.
  if (desktopStarted_)
    screen_->holdPictures(false);
  screen_->answerResizes();
}

void ServeApp::setColourMapEntries(const agentmsg::SetColourMapEntries& msg) {
  screen_->setColourMap(msg.first, msg.colours);
}

void ServeApp::fbUpdate(const agentmsg::FbUpdate& msg) {
  slog.debug("fbUpdate: %d copied, %d changed rectangles", msg.copied.numRects(),
             msg.changed.numRects());
  updateRequested_ = false;
  screen_->update(msg.copied, msg.dx, msg.dy, msg.changed);
}

void ServeApp::setCursorImage(const agentmsg::SetCursorImage& msg) {
  try {
    screen_->setCursor(msg);
  } catch (const plat::Exception& e) {
    slog.error("Cursor image refused: %s", e.str());
  }
}

void ServeApp::setCursorPos(const agentmsg::SetCursorPos& msg) {
  screen_->setCursorPos(msg.x, msg.y);
}

void ServeApp::bell(const agentmsg::Bell&) { screen_->bell(); }

void ServeApp::serverCutText(const agentmsg::ServerCutText& msg) {
  screen_->sendCutText(msg.text);
}

void ServeApp::desktopFailure(const agentmsg::DesktopFailure& msg) {
  fprintf(stderr, "kwo-serve: desktop failure: %s%s%s\n",
          msg.kind.empty() ? "" : ("[" + msg.kind + "] ").c_str(), msg.message.c_str(), "");
  desktopStarted_ = false;
  updateRequested_ = false;
  // No picture is coming: viewers are not kept waiting for one.
  screen_->holdPictures(false);
}

void ServeApp::closeClients(const agentmsg::CloseClients& msg) {
  fprintf(stderr, "kwo-serve: the agent closes the viewers: %s\n", msg.message.c_str());
  screen_->closeViewers();
}

void ServeApp::captureBroken(const agentmsg::CaptureBroken& msg) {
  fprintf(stderr, "kwo-serve: screen capture %s\n",
          msg.broken ? "is broken: viewers may see stale pixels" : "works again");
}

void ServeApp::logMsg(const agentmsg::LogMsg& msg) {
  fprintf(stderr, "kwo-serve: agent: %s: %s\n", msg.source.c_str(), msg.text.c_str());
}

// --- The viewers' side ---

void ServeApp::viewerKey(uint32_t keysym, bool down) { send(agentmsg::KeyEvent{keysym, down}); }

void ServeApp::viewerPointer(int x, int y, uint32_t buttonMask) {
  send(agentmsg::PointerEvent{x, y, buttonMask, false});
}

void ServeApp::viewerCutText(const std::string& text) {
  agentmsg::ClientCutText msg;
  msg.text = text;
  send(msg);
}

bool ServeApp::viewerResize(int width, int height) {
  if (!agent_ || agent_->state() != agenthost::AgentProcess::State::connected)
    return false;
  slog.status("A viewer asks for %dx%d", width, height);
  send(agentmsg::SetDisplayMode{uint32_t(width), uint32_t(height)});
  return true;
}

void ServeApp::viewersChanged(int count) {
  // Viewers also leave while the screen is being destroyed.
  if (screen_)
    startOrStopDesktop();
}

void ServeApp::startOrStopDesktop() {
  if (!screen_ || !agent_ || agent_->state() != agenthost::AgentProcess::State::connected)
    return;
  bool wanted = screen_->viewerCount() > 0;
  if (wanted == desktopStarted_)
    return;
  desktopStarted_ = wanted;
  updateRequested_ = false;
  if (wanted) {
    slog.status("First viewer: starting the desktop");
    // Viewers wait for the agent's first picture.
    screen_->holdPictures(true);
    send(agentmsg::Start{});
  } else {
    slog.status("Last viewer gone: stopping the desktop");
    send(agentmsg::Stop{});
  }
}

void ServeApp::requestUpdateIfWaiting() {
  if (!desktopStarted_ || updateRequested_ || !screen_->viewerWaiting())
    return;
  updateRequested_ = true;
  slog.debug("fbUpdateRequest sent");
  send(agentmsg::FbUpdateRequest{});
}

} // namespace kwoserve
