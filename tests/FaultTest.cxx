// The agent binary under faults, seen from a server built on libs/agenthost:
// a server that dies mid-message, stops reading or sends garbage; an X
// server that dies; the agent itself killed (the next agent of the user
// removes what it left) or terminated during heavy updates; a log file that
// cannot be opened or written; bursts of messages and large clipboards.
// Every agent must end or go on cleanly: no sanitizer report (the tests'
// agent is a sanitizer build whose reports go to files of the test's own
// directory) and no shared memory left behind.

#include "tests/ClipboardPeer.h"

#include "base/io/FdSelectManager.h"
#include "libs/agenthost/AgentProcess.h"
#include "libs/agenthost/SharedPixelBuffer.h"
#include "libs/agentmsg/ToAgentMsgs.h"
#include "testsupport/TempDir.h"
#include "testsupport/XvfbServer.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace e2e {
namespace {

using agenthost::AgentLaunch;
using agenthost::AgentProcess;
using testsupport::TempDir;
using testsupport::XvfbServer;

constexpr int deadlineMs = 60000;
using Params = std::vector<std::pair<std::string, std::string>>;

struct Recorder : agenthost::FromAgentHandler {
  std::vector<agentmsg::SetPixelBuffer> buffers;
  std::vector<std::string> cutTexts;
  std::vector<std::string> logs;

  void setPixelBuffer(const agentmsg::SetPixelBuffer& msg) override { buffers.push_back(msg); }
  void serverCutText(const agentmsg::ServerCutText& msg) override {
    cutTexts.push_back(msg.text);
  }
  void logMsg(const agentmsg::LogMsg& msg) override { logs.push_back(msg.text); }
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> entriesOf(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d)
    return names;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..")
      names.push_back(name);
  }
  closedir(d);
  return names;
}

// A shared-memory segment the agent announced, and where its traces are.
struct Segment {
  agentmsg::SegmentDescription description;
  pid_t creator = -1;

  std::string runtimeDir() const { return "/tmp/.kwo-" + std::to_string(geteuid()) + "/shm/"; }
  std::string marker() const {
    if (description.type == agentmsg::SegmentDescription::sysV)
      return runtimeDir() + "SysV/" + std::to_string(description.id);
    return runtimeDir() + "Posix" + description.name;
  }
  bool segmentExists() const {
    if (description.type == agentmsg::SegmentDescription::sysV) {
      shmid_ds ds;
      return shmctl(description.id, IPC_STAT, &ds) == 0 && ds.shm_cpid == creator;
    }
    struct stat st;
    return stat(("/dev/shm" + description.name).c_str(), &st) == 0;
  }
  bool markerExists() const {
    struct stat st;
    return lstat(marker().c_str(), &st) == 0;
  }
};

// POSIX objects named after `pid` ("/kwo-<pid>-<serial>").
std::vector<std::string> posixObjectsOf(pid_t pid) {
  std::vector<std::string> found;
  std::string prefix = "kwo-" + std::to_string(pid) + "-";
  for (const std::string& name : entriesOf("/dev/shm")) {
    if (name.compare(0, prefix.size(), prefix) == 0)
      found.push_back(name);
  }
  return found;
}

// System V segments created by `pid` (from /proc/sysvipc/shm: key shmid
// perms size cpid ...).
std::vector<int> sysVSegmentsOf(pid_t pid) {
  std::vector<int> found;
  std::istringstream table(readFile("/proc/sysvipc/shm"));
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    long long key, id, size, cpid;
    std::string perms;
    // A segment marked for removal (SHM_DEST) only waits for its last
    // attachment, such as this test's own mapping, to go.
    constexpr long shmDest = 01000;
    if (fields >> key >> id >> perms >> size >> cpid && cpid == pid &&
        !(std::stol(perms, nullptr, 8) & shmDest))
      found.push_back(int(id));
  }
  return found;
}

// Whether `condition` holds within the deadline, checked every 10 ms.
template <typename Condition>
bool eventually(Condition condition) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end)
      return false;
    usleep(10000);
  }
  return true;
}

// Resident memory of `pid` in KiB.
long rssKiB(pid_t pid) {
  std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0)
      return std::stol(line.substr(6));
  }
  return -1;
}

// Our end of the agent's connection: the socket whose peer is the agent.
int agentSocketFd(pid_t agentPid) {
  for (const std::string& name : entriesOf("/proc/self/fd")) {
    int fd = std::atoi(name.c_str());
    ucred peer{};
    socklen_t length = sizeof(peer);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.pid == agentPid)
      return fd;
  }
  return -1;
}

// Writes what the peer takes within the deadline; returns how much.
size_t writeAll(int fd, const std::vector<uint8_t>& bytes) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
  size_t done = 0;
  while (done < bytes.size() && std::chrono::steady_clock::now() < end) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done,
                       MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 1000);
      continue;
    }
    if (n <= 0)
      break;
    done += size_t(n);
  }
  return done;
}

// A second application that repaints the whole screen until destroyed, in
// a process of its own so that it never waits for the test.
class Repainter {
public:
  explicit Repainter(const std::string& display) {
    pid_ = fork();
    if (pid_ != 0)
      return;
    Display* dpy = XOpenDisplay(display.c_str());
    if (!dpy)
      _exit(2);
    Window root = DefaultRootWindow(dpy);
    GC gc = XCreateGC(dpy, root, 0, nullptr);
    for (unsigned long colour = 0;; colour += 0x010305) {
      XSetForeground(dpy, gc, colour & 0xffffff);
      XFillRectangle(dpy, root, gc, 0, 0, 4096, 4096);
      XSync(dpy, False);
    }
  }
  ~Repainter() {
    if (pid_ <= 0)
      return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  Repainter(const Repainter&) = delete;
  Repainter& operator=(const Repainter&) = delete;

private:
  pid_t pid_ = -1;
};

class FaultTest : public testing::Test {
protected:
  void startServer(std::vector<std::string> disabled = {}) {
    agent.reset();
    xvfb.reset();
    XvfbServer::Options options;
    options.width = 640;
    options.height = 480;
    options.disabledExtensions = std::move(disabled);
    xvfb = std::make_unique<XvfbServer>(options);
  }

  AgentLaunch launchFor(Params params) {
    AgentLaunch launch;
    launch.agentPath = KWO_AGENT_PATH;
    launch.display = xvfb->displayName();
    launch.params = std::move(params);
    std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    launch.environment = {
      {"ASAN_OPTIONS", asan + (asan.empty() ? "" : ":") + "log_path=" + reports.path() + "/asan"},
      {"UBSAN_OPTIONS", "print_stacktrace=1:log_path=" + reports.path() + "/ubsan"},
      {"KWO_PROFILE_DIR", profile.path()},
    };
    return launch;
  }

  void launchAgent(Params params = {}) { launch(launchFor(std::move(params))); }

  void launch(const AgentLaunch& settings) {
    recorder = Recorder();
    agent = std::make_unique<AgentProcess>(settings, &recorder);
    ASSERT_TRUE(agent->waitForMsg("initRectAndPf", deadlineMs)) << agent->failure();
    agent->send(agentmsg::SetLogLevel{200});
    pids.push_back(agent->pid());
  }

  void startDesktop() {
    agent->send(agentmsg::Start{});
    ASSERT_TRUE(agent->waitForMsg("setPixelBuffer", deadlineMs));
    ASSERT_TRUE(agent->pixelBuffer().valid());
  }

  Segment announced() const {
    Segment segment;
    segment.description = recorder.buffers.at(0).segment.value();
    segment.creator = agent->pid();
    return segment;
  }

  // A drawing made now reaches the agent's answer to an update request:
  // the channel still works both ways.
  bool answers() {
    Display* dpy = XOpenDisplay(xvfb->displayName().c_str());
    if (!dpy)
      return false;
    GC gc = XCreateGC(dpy, DefaultRootWindow(dpy), 0, nullptr);
    XSetForeground(dpy, gc, 0x100000 * unsigned(++draws));
    XFillRectangle(dpy, DefaultRootWindow(dpy), gc, 0, 0, 8, 8);
    XFreeGC(dpy, gc);
    XCloseDisplay(dpy);
    agent->send(agentmsg::FbUpdateRequest{});
    return agent->waitForMsg("fbUpdate", deadlineMs);
  }

  // Everything the sanitizers wrote for our agents.
  std::string sanitizerReports() const {
    std::string all;
    for (const std::string& name : entriesOf(reports.path()))
      all += name + ":\n" + readFile(reports.path() + "/" + name);
    return all;
  }

  // The agent ended with `code` and left no segment of its own.
  void expectCleanEnd(std::initializer_list<int> codes) {
    ASSERT_TRUE(agent->waitForExit(deadlineMs));
    const agenthost::ExitStatus& status = agent->exitStatus().value();
    bool expected = false;
    for (int code : codes)
      expected = expected || status.exitedWith(code);
    EXPECT_TRUE(expected) << status.describe();
    // A segment the X server still has attached lingers, marked for removal,
    // until the server has dealt with the agent's departure.
    pid_t pid = agent->pid();
    EXPECT_TRUE(eventually([&] { return sysVSegmentsOf(pid).empty(); }))
        << "segments left: " << testing::PrintToString(sysVSegmentsOf(pid));
    EXPECT_EQ(posixObjectsOf(pid), std::vector<std::string>{});
  }

  void TearDown() override {
    agent.reset();
    std::string found = sanitizerReports();
    EXPECT_EQ(found.find("AddressSanitizer"), std::string::npos) << found;
    EXPECT_EQ(found.find("LeakSanitizer"), std::string::npos) << found;
    EXPECT_EQ(found.find("runtime error"), std::string::npos) << found;
  }

  TempDir reports;
  TempDir profile;
  io::FdSelectManager manager;
  std::unique_ptr<XvfbServer> xvfb;
  Recorder recorder;
  std::unique_ptr<AgentProcess> agent;
  std::vector<pid_t> pids;
  int draws = 0;
};

TEST_F(FaultTest, AServerDyingMidMessageEndsTheAgentCleanly) {
  startServer();
  launchAgent();
  ASSERT_NO_FATAL_FAILURE(startDesktop());
  int fd = agentSocketFd(agent->pid());
  ASSERT_GE(fd, 0);
  // A frame announcing 200 bytes of "keyEvent", of which only 12 come.
  std::vector<uint8_t> half = {0x80, 200, 8, 'k', 'e', 'y', 'E', 'v', 'e', 'n', 't', 0};
  writeAll(fd, half);
  agent->channel().close(false);
  expectCleanEnd({0});
}

TEST_F(FaultTest, AServerThatStopsReadingIsDroppedAfterTheLazyFlushTimeout) {
  startServer();
  cliptest::SelectionOwner owner(xvfb->displayName());
  launchAgent({{"LazyFlushTimeout", "1"}, {"EnableClipboard", "1"}});
  ASSERT_NO_FATAL_FAILURE(startDesktop());
  // A desktop copy far larger than the socket takes: the agent's
  // "serverCutText" stalls, since from here on nothing reads the channel.
  std::string big(8 * 1024 * 1024, 'c');
  owner.own(owner.atom("CLIPBOARD"), {big, big}, owner.timeAfter(owner.serverTime()));
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
  bool gone = false;
  while (!gone && std::chrono::steady_clock::now() < end) {
    owner.serve();
    std::string stat = readFile("/proc/" + std::to_string(agent->pid()) + "/stat");
    size_t close = stat.rfind(')');
    gone = close == std::string::npos || stat.compare(close + 2, 1, "Z") == 0;
    if (!gone)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(gone) << "the agent kept waiting for a server that does not read";
  expectCleanEnd({0});
}

TEST_F(FaultTest, GarbageFromTheServerNeverCrashesTheAgent) {
  for (unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    startServer();
    launchAgent();
    ASSERT_NO_FATAL_FAILURE(startDesktop());
    int fd = agentSocketFd(agent->pid());
    ASSERT_GE(fd, 0);
    std::mt19937 random(seed);
    std::vector<uint8_t> garbage(65536);
    for (uint8_t& byte : garbage)
      byte = uint8_t(random());
    writeAll(fd, garbage);
    agent->waitUntil([&] { return !agent->running(); }, 2000);
    agent->channel().close(false);
    expectCleanEnd({0, 1});
  }
}

// An agent that could not clean up, because its X server died under it or
// it was killed, leaves its segments to the next agent of the same user.
TEST_F(FaultTest, SegmentsOfAnAgentThatDidNotCleanUpAreRemovedByTheNextOne) {
  const struct {
    const char* name;
    std::vector<std::string> disabled;
  } kinds[] = {{"System V", {}}, {"POSIX", {"MIT-SHM"}}};
  for (bool killXServer : {true, false}) {
    for (const auto& kind : kinds) {
      SCOPED_TRACE(std::string(kind.name) + (killXServer ? ", X server killed" : ", agent killed"));
      startServer(kind.disabled);
      launchAgent();
      ASSERT_NO_FATAL_FAILURE(startDesktop());
      Segment first = announced();
      ASSERT_TRUE(first.segmentExists());
      kill(killXServer ? xvfb->pid() : agent->pid(), SIGKILL);
      ASSERT_TRUE(agent->waitForExit(deadlineMs));
      if (killXServer)
        EXPECT_FALSE(agent->exitStatus()->signal) << agent->exitStatus()->describe();
      // Our own mapping goes with the agent's object.
      agent.reset();
      if (killXServer) {
        startServer(kind.disabled);
      } else {
        // Left behind: nobody could remove them.
        EXPECT_TRUE(first.segmentExists());
        EXPECT_TRUE(first.markerExists()) << first.marker();
      }

      launchAgent();
      ASSERT_NO_FATAL_FAILURE(startDesktop());
      EXPECT_FALSE(first.segmentExists());
      EXPECT_FALSE(first.markerExists()) << first.marker();
      EXPECT_TRUE(answers());
    }
  }
}

TEST_F(FaultTest, SigtermDuringHeavyUpdatesEndsTheAgentWithZero) {
  startServer();
  launchAgent();
  ASSERT_NO_FATAL_FAILURE(startDesktop());
  Repainter repainter(xvfb->displayName());
  for (int i = 0; i < 100; i++) {
    agent->send(agentmsg::FbUpdateRequest{});
    ASSERT_TRUE(agent->waitForMsg("fbUpdate", deadlineMs)) << i;
  }
  agent->send(agentmsg::FbUpdateRequest{});
  agent->terminate();
  // The last lines used to stay queued: the log let go of the channel
  // before sending them.
  EXPECT_TRUE(agent->waitUntil(
    [&] {
      return std::count(recorder.logs.begin(), recorder.logs.end(), "Got signal SIGTERM") == 1 &&
             std::count(recorder.logs.begin(), recorder.logs.end(), "Stopping desktop") == 1;
    },
    deadlineMs));
  expectCleanEnd({0});
}

TEST_F(FaultTest, AnUnwritableLogKeepsTheAgentServingAndSaysSoOnStandardError) {
  TempDir scratch;
  std::string regularFile = scratch.path() + "/file";
  std::ofstream(regularFile) << "not a directory";
  struct Case {
    const char* name;
    Params params;
    const char* complaint;
  };
  const Case cases[] = {
    {"log directory under a regular file",
     {{"Log", "*:file:100"}, {"LogDir", regularFile + "/logs"}},
     "Error opening log file: "},
    {"full disk", {{"Log", "*:file:100"}, {"LogFile", "/dev/full"}}, "Error writing log file: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    startServer();
    // With -lppDebug the agent appends its standard error to the debug file.
    std::string debugFile = "/tmp/lppDebug.log";
    size_t offset = readFile(debugFile).size();
    AgentLaunch settings = launchFor(c.params);
    settings.lppDebug = true;
    ASSERT_NO_FATAL_FAILURE(launch(settings));
    ASSERT_NO_FATAL_FAILURE(startDesktop());
    EXPECT_TRUE(answers());
    EXPECT_TRUE(agent->running());
    std::string said = readFile(debugFile).substr(offset);
    EXPECT_NE(said.find(c.complaint), std::string::npos) << said;
    agent->terminate();
    expectCleanEnd({0});
    // Opening the log used to rotate whatever stood at its path: a device
    // such as /dev/full was renamed away.
    struct stat st;
    EXPECT_TRUE(stat("/dev/full", &st) == 0 && S_ISCHR(st.st_mode));
  }
}

TEST_F(FaultTest, BurstsOfModesAndKeysLeaveTheAgentServingWithoutGrowing) {
  startServer();
  launchAgent();
  ASSERT_NO_FATAL_FAILURE(startDesktop());
  ASSERT_TRUE(answers());
  long before = rssKiB(agent->pid());
  for (int i = 0; i < 1000; i++)
    agent->send(agentmsg::SetDisplayMode{i % 2 ? 800u : 640u, i % 2 ? 600u : 480u}, false);
  agent->channel().flush();
  for (int i = 0; i < 10000; i++)
    agent->send(agentmsg::KeyEvent{uint32_t('a' + i / 2 % 26), i % 2 == 0}, false);
  agent->channel().flush();
  EXPECT_TRUE(answers());
  EXPECT_TRUE(agent->running());
  long after = rssKiB(agent->pid());
  EXPECT_LT(after, before + 64 * 1024) << before << " KiB before, " << after << " KiB after";
  agent->terminate();
  expectCleanEnd({0});
}

// Used to go wrong: texts larger than one X request never arrived either
// way (desktop copies that came in chunks were dropped, pastes refused).
TEST_F(FaultTest, TwentyMegabyteClipboardsArriveWholeEachWay) {
  startServer();
  cliptest::SelectionOwner owner(xvfb->displayName());
  cliptest::Paster paster(xvfb->displayName());
  PeerWatch ownerWatch(owner);
  PeerWatch pasterWatch(paster);
  Atom clipboard = owner.atom("CLIPBOARD");
  Atom utf8 = owner.atom("UTF8_STRING");
  launchAgent({{"EnableClipboard", "1"}});
  ASSERT_NO_FATAL_FAILURE(startDesktop());

  // Viewer to desktop: more than the X server takes in one request.
  std::string big(20 * 1024 * 1024, 'v');
  for (size_t i = 0; i < big.size(); i += 97)
    big[i] = char('a' + i % 26);
  agent->send(agentmsg::ClientCutText{big});
  // The agent reads the text before it owns the clipboard: a paste before
  // that would be answered by the earlier owner.
  ASSERT_TRUE(agent->waitUntil(
    [&] {
      Window owned = XGetSelectionOwner(paster.dpy(), clipboard);
      return owned != None && owned != owner.win() && owned != paster.win();
    },
    deadlineMs));
  paster.request(clipboard, utf8);
  ASSERT_TRUE(agent->waitUntil(
    [&] {
      paster.serve();
      return paster.answer().has_value();
    },
    deadlineMs));
  EXPECT_TRUE(paster.answer()->incremental);
  EXPECT_EQ(paster.answer()->bytes.size(), big.size());
  EXPECT_TRUE(paster.answer()->bytes == big);

  // Desktop to viewer: an owner with another 20 MB answers in chunks.
  std::string copied(big.rbegin(), big.rend());
  owner.incremental = true;
  owner.chunkBytes = 256 * 1024;
  // Strictly after the agent's own ownership: an equal time reads as no change.
  owner.own(clipboard, {copied, copied}, owner.timeAfter(owner.serverTime()));
  ASSERT_TRUE(agent->waitUntil(
    [&] {
      owner.serve();
      return !recorder.cutTexts.empty();
    },
    deadlineMs));
  EXPECT_EQ(recorder.cutTexts.back().size(), copied.size());
  EXPECT_TRUE(recorder.cutTexts.back() == copied);
  EXPECT_EQ(owner.incrementalDone, 1);
  // The agent's memory afterwards is measured in a release build
  // (bench/Clipboard.cxx): this agent's allocator keeps freed blocks aside.
  EXPECT_TRUE(answers());
  agent->terminate();
  expectCleanEnd({0});
}

} // namespace
} // namespace e2e
