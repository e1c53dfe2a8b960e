// The agent binary under faults: a server that dies mid-message, stops
// reading or sends garbage; an X server that dies; the agent itself killed
// (the next agent of the user removes what it left) or terminated during
// heavy updates; a log file that cannot be written; bursts of
// messages and large clipboards. Every agent must end or go on cleanly: no
// sanitizer report and no shared memory left behind.

#include "AgentTestPeer.h"
// The toolkit's clipboard peers, after GoogleTest: Xlib's macros (None,
// Bool) break its headers.
#include "uilibs/tx/tests/ClipboardPeers.h"

#include "base/io/FdHandler.h"
#include "base/io/FdManager.h"
#include "testsupport/ForkedChild.h"
#include "testsupport/LoopPump.h"
#include "testsupport/RootPainter.h"
#include "testsupport/ShmLeaks.h"

#include <X11/Xlib.h>

#include <poll.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <random>

namespace e2e {
namespace {

using testsupport::readFile;

// Our end of the agent's connection: the socket whose peer is the agent.
int agentSocketFd(pid_t agentPid) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    int fd = std::stoi(entry.path().filename());
    ucred peer{};
    socklen_t length = sizeof(peer);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.pid == agentPid)
      return fd;
  }
  return -1;
}

// Writes what the peer takes within the deadline.
void writeAll(int fd, const std::vector<uint8_t>& bytes) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
  for (size_t done = 0; done < bytes.size() && std::chrono::steady_clock::now() < end;) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    pollfd p{fd, POLLOUT, 0};
    if (n < 0 && errno == EAGAIN)
      poll(&p, 1, 1000);
    else if (n <= 0)
      return;
    else
      done += size_t(n);
  }
}

// Handles a peer's X events whenever its connection is readable, from the
// thread's current descriptor manager (which must outlive this object), so
// that a paster's answer arrives in the loop that waits for the agent.
// Events Xlib already queued while the test itself talked to the server do
// not make the descriptor readable: waits serve the peers as well.
class PeerWatch : public io::FdHandler {
public:
  explicit PeerWatch(cliptest::Peer& peer)
    : FdHandler(ConnectionNumber(peer.dpy())), peer_(peer), manager_(*io::FdManager::current()) {
    manager_.addHandler(*this);
    manager_.setEvents(*this, true, false);
  }
  ~PeerWatch() override {
    manager_.setEvents(*this, false, false);
    manager_.removeHandler(*this);
  }
  PeerWatch(const PeerWatch&) = delete;
  PeerWatch& operator=(const PeerWatch&) = delete;

  void handleRead() override {
    peer_.serve();
    XFlush(peer_.dpy());
  }
  void handleWrite() override {}

private:
  cliptest::Peer& peer_;
  io::FdManager& manager_;
};

class FaultTest : public AgentTest {
protected:
  void startServer(std::vector<std::string> disabled = {}) {
    testsupport::XvfbServer::Options options;
    options.width = 640;
    options.height = 480;
    options.disabledExtensions = std::move(disabled);
    startXvfb(options);
  }

  // A drawing made now reaches the agent's answer to an update request:
  // the channel still works both ways.
  bool answers() {
    testsupport::RootPainter(display).fill(0, 0, 8, 8, 0x100000 * unsigned(++draws));
    agent->send(agentmsg::FbUpdateRequest{});
    return agent->waitForMsg("fbUpdate", deadlineMs);
  }

  // The agent ended with one of `codes` and left no shared memory.
  void expectCleanEnd(std::initializer_list<int> codes) {
    expectEnd(codes);
    pid_t pid = agent->pid();
    // A segment the X server still has attached lingers, marked for removal,
    // until the server has dealt with the agent's departure.
    EXPECT_TRUE(until([&] { return testsupport::sysvSegmentsOf(pid, false).empty(); }))
      << testing::PrintToString(testsupport::sysvSegmentsOf(pid));
    EXPECT_EQ(testsupport::posixObjectsOf(pid), std::set<std::string>{});
  }

  int draws = 0;
};

TEST_F(FaultTest, AServerThatStopsReadingIsDroppedAfterTheLazyFlushTimeout) {
  startServer();
  cliptest::SelectionOwner owner(display);
  launchAgent({{"LazyFlushTimeout", "1"}, {"EnableClipboard", "1"}});
  ASSERT_NO_FATAL_FAILURE(startDesktop());
  // A desktop copy far larger than the socket takes: the agent's
  // "serverCutText" stalls, since from here on nothing reads the channel.
  std::string big(8 * 1024 * 1024, 'c');
  owner.own(owner.atom("CLIPBOARD"), {big, big}, owner.timeAfter(owner.serverTime()));
  auto gone = [&] {
    std::string stat = readFile("/proc/" + std::to_string(agent->pid()) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || stat.compare(close + 2, 1, "Z") == 0;
  };
  EXPECT_TRUE(testsupport::waitUntil(gone, [&] {
    owner.serve();
    usleep(20000);
  })) << "the agent kept waiting for a server that does not read";
  expectCleanEnd({0});
}

// A server that dies in the middle of a message, and one that sends
// garbage, before going away.
TEST_F(FaultTest, GarbageOrAServerDyingMidMessageEndsTheAgentCleanly) {
  // A frame announcing 200 bytes of "keyEvent", of which only 12 come.
  std::vector<uint8_t> cutShort = {0x80, 200, 8, 'k', 'e', 'y', 'E', 'v', 'e', 'n', 't', 0};
  std::vector<uint8_t> garbage(65536);
  std::mt19937 random(1);
  for (uint8_t& byte : garbage)
    byte = uint8_t(random());
  for (const std::vector<uint8_t>& bytes : {cutShort, garbage}) {
    SCOPED_TRACE(bytes.size());
    startServer();
    launchAgent();
    ASSERT_NO_FATAL_FAILURE(startDesktop());
    int fd = agentSocketFd(agent->pid());
    ASSERT_GE(fd, 0);
    writeAll(fd, bytes);
    agent->waitUntil([&] { return !agent->running(); }, 2000);
    agent->channel().close(false);
    expectCleanEnd({0, bytes.size() == cutShort.size() ? 0 : 1});
  }
}

// An agent that could not clean up, because its X server died under it or
// it was killed, leaves its segments to the next agent of the same user.
TEST_F(FaultTest, SegmentsOfAnAgentThatDidNotCleanUpAreRemovedByTheNextOne) {
  for (bool killXServer : {true, false}) {
    for (bool sysV : {true, false}) {
      SCOPED_TRACE(std::string(sysV ? "System V" : "POSIX") +
                   (killXServer ? ", X server killed" : ", agent killed"));
      std::vector<std::string> disabled;
      if (!sysV)
        disabled.push_back("MIT-SHM");
      startServer(disabled);
      launchAgent();
      ASSERT_NO_FATAL_FAILURE(startDesktop());
      agentmsg::SegmentDescription first = recorder.buffers.at(0).segment.value();
      ASSERT_EQ(first.type == agentmsg::SegmentDescription::sysV, sysV);
      pid_t creator = agent->pid();
      std::string runtime = "/tmp/.kwo-" + std::to_string(geteuid()) + "/shm/";
      std::string marker = runtime + (sysV ? "SysV/" + std::to_string(first.id) : "Posix" + first.name);
      auto segmentExists = [&] {
        struct shmid_ds ds;
        struct stat st;
        if (sysV)
          return shmctl(first.id, IPC_STAT, &ds) == 0 && ds.shm_cpid == creator;
        return stat(("/dev/shm" + first.name).c_str(), &st) == 0;
      };
      struct stat st;
      ASSERT_TRUE(segmentExists());
      kill(killXServer ? xvfb->pid() : agent->pid(), SIGKILL);
      ASSERT_TRUE(agent->waitForExit(deadlineMs));
      EXPECT_EQ(agent->exitStatus()->signal != 0, !killXServer) << agent->exitStatus()->describe();
      // Our own mapping goes with the agent's object.
      agent.reset();
      if (killXServer) {
        startServer(disabled);
      } else {
        // Left behind: nobody could remove them.
        EXPECT_TRUE(segmentExists());
        EXPECT_EQ(lstat(marker.c_str(), &st), 0) << marker;
      }
      launchAgent();
      ASSERT_NO_FATAL_FAILURE(startDesktop());
      EXPECT_FALSE(segmentExists());
      EXPECT_NE(lstat(marker.c_str(), &st), 0) << marker;
      EXPECT_TRUE(answers());
    }
  }
}

// A log that cannot be opened: base/plat's tests.
TEST_F(FaultTest, AnUnwritableLogKeepsTheAgentServingAndSaysSoOnStandardError) {
  startServer();
  // With -lppDebug the agent appends its standard error to the debug file.
  std::string debugFile = "/tmp/lppDebug.log";
  size_t offset = readFile(debugFile).size();
  agenthost::AgentLaunch launching = settings({{"Log", "*:file:100"}, {"LogFile", "/dev/full"}});
  launching.lppDebug = true;
  ASSERT_NO_FATAL_FAILURE(launch(launching));
  ASSERT_NO_FATAL_FAILURE(startDesktop());
  EXPECT_TRUE(answers());
  std::string said = readFile(debugFile).substr(offset);
  EXPECT_NE(said.find("Error writing log file: "), std::string::npos) << said;
  agent->terminate();
  expectCleanEnd({0});
  // Opening the log used to rotate whatever stood at its path: a device
  // such as /dev/full was renamed away.
  struct stat st;
  EXPECT_TRUE(stat("/dev/full", &st) == 0 && S_ISCHR(st.st_mode));
}

TEST_F(FaultTest, BurstsOfModesAndKeysAndSigtermDuringHeavyUpdatesEndTheAgentCleanly) {
  startServer();
  launchAgent();
  ASSERT_NO_FATAL_FAILURE(startDesktop());
  ASSERT_TRUE(answers());
  auto rssKiB = [&] {
    std::string status = readFile("/proc/" + std::to_string(agent->pid()) + "/status");
    return std::stol(status.substr(status.find("VmRSS:") + 6));
  };
  long before = rssKiB();
  for (int i = 0; i < 1000; i++)
    agent->send(agentmsg::SetDisplayMode{i % 2 ? 800u : 640u, i % 2 ? 600u : 480u}, false);
  for (int i = 0; i < 10000; i++)
    agent->send(agentmsg::KeyEvent{uint32_t('a' + i / 2 % 26), i % 2 == 0}, false);
  agent->channel().flush();
  EXPECT_TRUE(answers());
  long after = rssKiB();
  EXPECT_LT(after, before + 64 * 1024) << before << " KiB before, " << after << " KiB after";

  // A second application repainting the whole screen, in a process of its
  // own so that it never waits for the test; killed at the end.
  testsupport::ForkedChild repainter([&](int, int) {
    testsupport::RootPainter painter(display);
    for (unsigned long colour = 0;; colour += 0x010305)
      painter.fill(0, 0, 4096, 4096, colour & 0xffffff);
    return 0;
  });
  for (int i = 0; i < 100; i++) {
    agent->send(agentmsg::FbUpdateRequest{});
    ASSERT_TRUE(agent->waitForMsg("fbUpdate", deadlineMs)) << i;
  }
  agent->send(agentmsg::FbUpdateRequest{});
  agent->terminate();
  // The last lines used to stay queued: the log let go of the channel
  // before sending them.
  EXPECT_TRUE(waitForLog("Got signal SIGTERM"));
  EXPECT_TRUE(waitForLog("Stopping desktop"));
  expectCleanEnd({0});
  EXPECT_EQ(recorder.logCount("Stopping desktop"), 1);
}

// Used to go wrong: texts larger than one X request never arrived either
// way (desktop copies that came in chunks were dropped, pastes refused).
// Also the clipboard bridge's smoke test: what the desktop holds at start,
// the viewer's own text and a repeated copy are never sent to the viewer.
TEST_F(FaultTest, TwentyMegabyteClipboardsArriveWholeEachWay) {
  startServer();
  cliptest::SelectionOwner owner(display);
  cliptest::Paster paster(display);
  PeerWatch ownerWatch(owner);
  PeerWatch pasterWatch(paster);
  Atom clipboard = owner.atom("CLIPBOARD");
  // The reference for repeats, never sent.
  owner.own(clipboard, {"at start", "at start"});
  launchAgent({{"EnableClipboard", "1"}});
  ASSERT_TRUE(until([&] {
    owner.serve();
    return recorder.logCount("Got CLIPBOARD selection as UTF8_STRING") > 0;
  }));
  ASSERT_NO_FATAL_FAILURE(startDesktop());

  // Viewer to desktop: more than the X server takes in one request.
  std::string big(20 * 1024 * 1024, 'v');
  for (size_t i = 0; i < big.size(); i += 97)
    big[i] = char('a' + i % 26);
  agent->send(agentmsg::ClientCutText{big});
  // The agent reads the text before it owns the clipboard: a paste before
  // that would be answered by the earlier owner.
  ASSERT_TRUE(until([&] {
    Window owned = XGetSelectionOwner(paster.dpy(), clipboard);
    return owned != None && owned != owner.win() && owned != paster.win();
  }));
  paster.request(clipboard, owner.atom("UTF8_STRING"));
  ASSERT_TRUE(until([&] {
    paster.serve();
    return paster.answer().has_value();
  }));
  EXPECT_TRUE(paster.answer()->incremental);
  EXPECT_TRUE(paster.answer()->bytes == big);

  // Desktop to viewer: an owner with another 20 MB answers in chunks.
  std::string copied(big.rbegin(), big.rend());
  owner.incremental = true;
  owner.chunkBytes = 256 * 1024;
  // Strictly after the agent's own ownership: an equal time reads as no change.
  owner.own(clipboard, {copied, copied}, owner.timeAfter(owner.serverTime()));
  ASSERT_TRUE(until([&] {
    owner.serve();
    return !recorder.cutTexts.empty();
  }));
  EXPECT_TRUE(recorder.cutTexts.back() == copied);
  EXPECT_EQ(owner.incrementalDone, 1);
  // The same text copied again is not sent again.
  owner.own(clipboard, {copied, copied}, owner.timeAfter(owner.serverTime()));
  ASSERT_TRUE(until([&] {
    owner.serve();
    return recorder.logCount("Filtering out duplicate cut text") > 0;
  }));
  EXPECT_EQ(recorder.cutTexts.size(), 1u);
  // The agent's memory afterwards is measured in a release build
  // (bench/Clipboard.cxx): this agent's allocator keeps freed blocks aside.
  EXPECT_TRUE(answers());
  agent->terminate();
  expectCleanEnd({0});
}

} // namespace
} // namespace e2e
