// The agent binary's clipboard bridge, seen from a server built on
// libs/agenthost with other X clients on a private X server: copies by
// desktop applications arrive as "serverCutText" (the text present at start
// and repeats do not), the newest of PRIMARY, CLIPBOARD and the cut buffer
// wins in polls, Latin-1 owners are read as STRING, viewer text from
// "clientCutText" is pasted by others and never echoed, polling covers a
// server without XFIXES, and nothing is sent unless "EnableClipboard" is
// set. (Large texts both ways: FaultTest.)
//
// "Nothing was sent" is never waited out: a later probe copy is made, and
// the texts that arrived before it are checked.

#include "tests/ClipboardPeer.h"

#include "base/io/FdSelectManager.h"
#include "libs/agenthost/AgentProcess.h"
#include "libs/agentmsg/ToAgentMsgs.h"
#include "testsupport/XvfbServer.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace e2e {
namespace {

using agenthost::AgentLaunch;
using agenthost::AgentProcess;
using cliptest::SelectionOwner;
using testsupport::XvfbServer;

constexpr int deadlineMs = 60000;
using Params = std::vector<std::pair<std::string, std::string>>;

// What the desktop holds when the agent starts; it is the reference for
// repeats and is never sent.
const std::string startText = "on the desktop at start";

// The clipboard texts and log lines the agent sent.
struct Recorder : agenthost::FromAgentHandler {
  std::vector<std::string> cutTexts;
  std::vector<std::string> logs;
  std::vector<agentmsg::FbUpdate> updates;

  void serverCutText(const agentmsg::ServerCutText& msg) override {
    cutTexts.push_back(msg.text);
  }
  void logMsg(const agentmsg::LogMsg& msg) override { logs.push_back(msg.text); }
  void fbUpdate(const agentmsg::FbUpdate& msg) override { updates.push_back(msg); }

  size_t logCount(const std::string& text) const {
    return size_t(std::count(logs.begin(), logs.end(), text));
  }
};

class ClipboardTest : public testing::Test {
protected:
  // A fresh X server with the two applications; whatever ran before goes
  // first, the applications before the agent (see the members).
  void startServer(std::vector<std::string> disabled = {}) {
    pasterWatch.reset();
    ownerWatch.reset();
    paster.reset();
    owner.reset();
    agent.reset();
    xvfb.reset();
    recorder = Recorder();
    XvfbServer::Options options;
    options.width = 320;
    options.height = 240;
    options.disabledExtensions = std::move(disabled);
    xvfb = std::make_unique<XvfbServer>(options);
    owner = std::make_unique<SelectionOwner>(xvfb->displayName());
    paster = std::make_unique<cliptest::Paster>(xvfb->displayName());
    survivesLostServer(owner->dpy());
    survivesLostServer(paster->dpy());
    ownerWatch = std::make_unique<PeerWatch>(*owner);
    pasterWatch = std::make_unique<PeerWatch>(*paster);
    clipboard = owner->atom("CLIPBOARD");
    utf8 = owner->atom("UTF8_STRING");
  }

  // Launches the agent with `params` while the owner holds CLIPBOARD with
  // the start text, and waits until the agent has read it (its reference).
  void launchAgent(Params params) {
    owner->own(clipboard, {startText, startText});
    AgentLaunch launch;
    launch.agentPath = KWO_AGENT_PATH;
    launch.display = xvfb->displayName();
    launch.params = std::move(params);
    agent = std::make_unique<AgentProcess>(launch, &recorder);
    ASSERT_TRUE(agent->waitForMsg("initRectAndPf", deadlineMs));
    // Log lines flow once the server has said which it wants; the clipboard's
    // progress is told at the info level.
    agent->send(agentmsg::SetLogLevel{200});
    ASSERT_TRUE(waitForLog("Got CLIPBOARD selection as UTF8_STRING", 1));
  }

  // "start", the buffer announcement, then a point after which the agent's
  // selection watch is surely in force at the X server.
  void startDesktop() {
    agent->send(agentmsg::Start{});
    ASSERT_TRUE(agent->waitForMsg("setPixelBuffer", deadlineMs));
    ASSERT_NO_FATAL_FAILURE(syncWithAgent());
  }

  // The agent's X requests made while handling "start" (the selection watch
  // among them) wait in its output buffer. A non-empty update answers a
  // request read after "start" and was grabbed with a round trip, so once it
  // arrived the X server has carried them out. (Pixels alone prove nothing:
  // the capture engine may grab while still handling "start".)
  void syncWithAgent() {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
    for (;;) {
      drawOnScreen();
      agent->send(agentmsg::FbUpdateRequest{});
      ASSERT_TRUE(agent->waitForMsg("fbUpdate", deadlineMs));
      const agentmsg::FbUpdate& update = recorder.updates.back();
      if (!update.changed.isEmpty() || !update.copied.isEmpty())
        return;
      ASSERT_LT(std::chrono::steady_clock::now(), end) << "no update with pixels";
    }
  }

  void drawOnScreen() {
    Display* dpy = paster->dpy();
    GC gc = XCreateGC(dpy, DefaultRootWindow(dpy), 0, nullptr);
    XSetForeground(dpy, gc, 0x204060 + 0x010203 * (++draws));
    XFillRectangle(dpy, DefaultRootWindow(dpy), gc, 0, 0, 16, 16);
    XFreeGC(dpy, gc);
    XSync(dpy, False);
  }

  bool waitFor(const std::function<bool()>& condition) {
    return agent->waitUntil(
        [&] {
          owner->serve();
          paster->serve();
          return condition();
        },
        deadlineMs);
  }

  bool waitForLog(const std::string& text, size_t count) {
    return waitFor([&] { return recorder.logCount(text) >= count; });
  }

  bool waitForCutTexts(size_t count) {
    return waitFor([&] { return recorder.cutTexts.size() >= count; });
  }

  // Another application copies `text` to `selection` (at `time`; 0: now).
  Time copy(Atom selection, const std::string& text, Time time = 0) {
    return owner->own(selection, {text, text}, time);
  }

  // A copy that must arrive: the texts sent so far, the probe last.
  std::vector<std::string> probe(const std::string& text) {
    size_t before = recorder.cutTexts.size();
    copy(clipboard, text);
    EXPECT_TRUE(waitForCutTexts(before + 1));
    return recorder.cutTexts;
  }

  // The whole answer of a paste of `selection` as `target` from the agent.
  cliptest::Paster::Answer paste(Atom selection, Atom target) {
    paster->request(selection, target);
    EXPECT_TRUE(waitFor([&] { return paster->answer().has_value(); }));
    return paster->answer().value_or(cliptest::Paster::Answer{});
  }

  // Both selections belong to someone else than the test's clients.
  bool agentOwnsSelections() {
    for (Atom selection : {Atom(XA_PRIMARY), clipboard}) {
      Window w = XGetSelectionOwner(paster->dpy(), selection);
      if (w == None || w == owner->win() || w == paster->win())
        return false;
    }
    return true;
  }

  io::FdSelectManager manager;
  std::unique_ptr<XvfbServer> xvfb;
  Recorder recorder;
  std::unique_ptr<AgentProcess> agent;
  // Destroyed before the agent (on a server without XFIXES the first of
  // them to disconnect makes Xvfb abort; see survivesLostServer).
  std::unique_ptr<SelectionOwner> owner;
  std::unique_ptr<cliptest::Paster> paster;
  std::unique_ptr<PeerWatch> ownerWatch;
  std::unique_ptr<PeerWatch> pasterWatch;
  Atom clipboard = 0;
  Atom utf8 = 0;
  int draws = 0;
};

TEST_F(ClipboardTest, StartTextIsNotSentACopyArrivesOnceAndRepeatsAreFiltered) {
  startServer();
  ASSERT_NO_FATAL_FAILURE(launchAgent({{"EnableClipboard", "1"}}));
  ASSERT_NO_FATAL_FAILURE(startDesktop());

  // The start text again: fetched, and filtered as a repeat of the reference.
  copy(clipboard, startText);
  ASSERT_TRUE(waitForLog("Filtering out duplicate cut text", 1));
  EXPECT_EQ(owner->requestsFor(clipboard, utf8), 2u);

  copy(clipboard, "copied");
  ASSERT_TRUE(waitForCutTexts(1));
  EXPECT_EQ(recorder.cutTexts.back(), "copied");

  copy(clipboard, "copied");
  ASSERT_TRUE(waitForLog("Filtering out duplicate cut text", 2));
  EXPECT_EQ(owner->requestsFor(clipboard, utf8), 4u);

  EXPECT_EQ(probe("probe"), (std::vector<std::string>{"copied", "probe"}));
}

// Polls (a server without XFIXES) compare the selections' timestamps; with
// change events each changed selection would be fetched on its own.
TEST_F(ClipboardTest, PollsSendTheNewerOfPrimaryAndClipboard) {
  enum class Newer { primary, clipboard, neither };
  struct Round {
    Newer newer;
    const char* expected;
  };
  struct Case {
    const char* sendPrimary;
    std::vector<Round> rounds;
  };
  const Case cases[] = {
    {"1", {{Newer::primary, "primary"}, {Newer::clipboard, "clipboard"}, {Newer::neither, "primary"}}},
    {"0", {{Newer::primary, "clipboard"}, {Newer::clipboard, "clipboard"}, {Newer::neither, "clipboard"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "SendPrimary " << c.sendPrimary);
    startServer({"XFIXES"});
    ASSERT_NO_FATAL_FAILURE(launchAgent({{"EnableClipboard", "1"}, {"poll", "100"}, {"SendPrimary", c.sendPrimary}}));
    ASSERT_NO_FATAL_FAILURE(startDesktop());
    ASSERT_TRUE(waitForLog("Polling for clipboard updates every 100ms", 1));

    std::vector<std::string> expected;
    for (size_t i = 0; i < c.rounds.size(); i++) {
      const Round& round = c.rounds[i];
      SCOPED_TRACE(testing::Message() << "round " << i);
      std::string n = std::to_string(i);
      {
        // Both changes reach the agent's polls together.
        ServerGrab grab(owner->dpy());
        Time older = owner->timeAfter(owner->serverTime());
        Time newer = round.newer == Newer::neither ? older : owner->timeAfter(older);
        copy(XA_PRIMARY, "primary " + n, round.newer == Newer::primary ? newer : older);
        copy(clipboard, "clipboard " + n, round.newer == Newer::primary ? older : newer);
      }
      expected.push_back(round.expected + (" " + n));
      ASSERT_TRUE(waitForCutTexts(expected.size()));
      EXPECT_EQ(recorder.cutTexts.back(), expected.back());
    }
    expected.push_back("probe");
    EXPECT_EQ(probe("probe"), expected);
  }
}

TEST_F(ClipboardTest, AnOwnerWithoutUtf8IsReadAsStringAndLatin1ArrivesAsUtf8) {
  startServer();
  ASSERT_NO_FATAL_FAILURE(launchAgent({{"EnableClipboard", "1"}}));
  ASSERT_NO_FATAL_FAILURE(startDesktop());

  owner->offerUtf8 = false;
  owner->own(clipboard, {"", "na\xefve caf\xe9 \x80"});
  ASSERT_TRUE(waitForCutTexts(1));
  EXPECT_EQ(recorder.cutTexts.back(), "na\xc3\xafve caf\xc3\xa9 \xe2\x82\xac");
  // The start text was read as UTF8_STRING; this owner's text only as STRING.
  EXPECT_EQ(owner->requestsFor(clipboard, XA_STRING), 1u);
  EXPECT_EQ(owner->requestsFor(clipboard, utf8), 1u);
  EXPECT_TRUE(waitForLog("Got CLIPBOARD selection as STRING", 1));
}

TEST_F(ClipboardTest, UseCutBufferSendsTheCutBufferOnlyWhenItIsNewer) {
  startServer({"XFIXES"});
  ASSERT_NO_FATAL_FAILURE(launchAgent({{"EnableClipboard", "1"}, {"poll", "100"}, {"UseCutBuffer", "1"}}));
  ASSERT_NO_FATAL_FAILURE(startDesktop());
  ASSERT_TRUE(waitForLog("Polling for clipboard updates every 100ms", 1));

  {
    ServerGrab grab(owner->dpy());
    storeCutBuffer(owner->dpy(), "older cut buffer");
    copy(clipboard, "newer selection", owner->timeAfter(owner->serverTime()));
  }
  ASSERT_TRUE(waitForCutTexts(1));
  EXPECT_EQ(recorder.cutTexts.back(), "newer selection");

  paster->storeCutBuffer("newer cut buffer \xe9");
  ASSERT_TRUE(waitForCutTexts(2));
  EXPECT_EQ(recorder.cutTexts.back(), "newer cut buffer \xc3\xa9");
  EXPECT_TRUE(waitForLog("Using X cut buffer string", 1));

  EXPECT_EQ(probe("probe"), (std::vector<std::string>{"newer selection",
                                                      "newer cut buffer \xc3\xa9", "probe"}));
}

TEST_F(ClipboardTest, ViewerTextIsPastedByOthersAndNeverEchoed) {
  struct Case {
    const char* name;
    std::vector<std::string> disabled;
    Params params;
  };
  const Case cases[] = {
    {"selection events", {}, {{"EnableClipboard", "1"}}},
    {"polling", {"XFIXES"}, {{"EnableClipboard", "1"}, {"poll", "100"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    startServer(c.disabled);
    ASSERT_NO_FATAL_FAILURE(launchAgent(c.params));
    ASSERT_NO_FATAL_FAILURE(startDesktop());

    const std::string text = "price 5\xe2\x82\xac";
    agent->send(agentmsg::ClientCutText{text});
    ASSERT_TRUE(waitFor([&] { return agentOwnsSelections(); }));
    for (Atom selection : {Atom(XA_PRIMARY), clipboard}) {
      cliptest::Paster::Answer answer = paste(selection, utf8);
      EXPECT_EQ(answer.type, utf8);
      EXPECT_EQ(answer.bytes, text);
      answer = paste(selection, XA_STRING);
      EXPECT_EQ(answer.type, Atom(XA_STRING));
      EXPECT_EQ(answer.bytes, "price 5\x80");
    }

    agent->send(agentmsg::ClientCutText{"\xe2\x82\xac"});
    ASSERT_TRUE(waitFor([&] { return paster->cutBuffer() == "\x80"; }));
    EXPECT_EQ(paste(clipboard, utf8).bytes, "\xe2\x82\xac");

    // The agent has looked at its own selection (an event or a poll) and
    // must not have sent it; the probe shows what came before it.
    ASSERT_TRUE(waitForLog("PRIMARY selection owned by us", 1));
    EXPECT_EQ(probe("probe"), std::vector<std::string>{"probe"});
  }
}

TEST_F(ClipboardTest, WithoutXFixesPollingEvery2000msDeliversChanges) {
  startServer({"XFIXES"});
  ASSERT_NO_FATAL_FAILURE(launchAgent({{"EnableClipboard", "1"}}));
  EXPECT_GE(recorder.logCount("XFixes extension not present"), 1u);
  ASSERT_NO_FATAL_FAILURE(startDesktop());
  ASSERT_TRUE(waitForLog("Polling for clipboard updates every 2000ms", 1));

  copy(clipboard, "polled copy");
  ASSERT_TRUE(waitForCutTexts(1));
  copy(XA_PRIMARY, "polled primary");
  ASSERT_TRUE(waitForCutTexts(2));
  EXPECT_EQ(recorder.cutTexts, (std::vector<std::string>{"polled copy", "polled primary"}));
}

TEST_F(ClipboardTest, NothingIsSentWhileEnableClipboardIsOff) {
  startServer();
  ASSERT_NO_FATAL_FAILURE(launchAgent({}));
  ASSERT_NO_FATAL_FAILURE(startDesktop());
  copy(clipboard, "copied while off");
  copy(XA_PRIMARY, "selected while off");

  // Switched on from the server: watching starts with the next "start".
  agent->send(agentmsg::Stop{});
  agent->send(agentmsg::SetParams{{{"EnableClipboard", "1", 10}}});
  ASSERT_NO_FATAL_FAILURE(startDesktop());
  EXPECT_EQ(probe("probe"), std::vector<std::string>{"probe"});
  // Only the start text and the probe were ever fetched.
  EXPECT_EQ(owner->requestsFor(clipboard, utf8), 2u);
  EXPECT_EQ(owner->requestsFor(XA_PRIMARY, owner->atom("TARGETS")), 0u);
  EXPECT_EQ(owner->requestsFor(XA_PRIMARY, utf8), 0u);
}

} // namespace
} // namespace e2e
