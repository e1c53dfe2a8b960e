#include "ClipboardPeers.h"

#include "uilibs/tx/CutBufferEventHandler.h"
#include "uilibs/tx/TXClipboardMgr.h"
#include "uilibs/tx/TXClipboardWindow.h"

#include "base/plat/Exception.h"
#include "testsupport/BackgroundChild.h"
#include "testsupport/XvfbServer.h"

#include <memory>
#include <random>
#include <string_view>

// The clipboard window's fetch cycles against other X clients, and the
// manager that starts them on selection events or polls.

namespace {

using cliptest::ScopedParam;
using cliptest::SelectionOwner;
using std::chrono::seconds;

const std::string& serverName() {
  return testsupport::XvfbServer::shared().displayName();
}

// Records what each fetch cycle reported.
struct Recorder : tx::TXClipboardWindow::Callback {
  struct Changed {
    std::string text;
    bool initial;
  };
  struct Unchanged {
    bool ownedByUs, timedOut, initial;
  };
  bool sendPrimary() override { return primary; }
  void cutTextChanged(std::string_view text, bool initial) override {
    changed.push_back({std::string(text), initial});
  }
  void cutTextUnchanged(bool ownedByUs, bool timedOut, bool initial) override {
    unchanged.push_back({ownedByUs, timedOut, initial});
  }
  size_t cycles() const { return changed.size() + unchanged.size(); }

  bool primary = true;
  std::vector<Changed> changed;
  std::vector<Unchanged> unchanged;
};

// A text of at least `bytes` bytes mixing ASCII with two- and three-byte
// UTF-8 sequences.
std::string bigUtf8(size_t bytes, unsigned seed) {
  static const char* const pieces[] = {"a", " ", "\n", "\xc3\xa9", "\xe2\x82\xac", "\xe4\xb8\xad"};
  std::mt19937 random(seed);
  std::string text;
  while (text.size() < bytes)
    text += pieces[random() % 6];
  return text;
}

class TXClipboardTest : public ::testing::Test {
protected:
  void SetUp() override { tx::openDisplay(serverName().c_str()); }

  // Creates the window and waits for its first cycle.
  void start(bool primary = false) {
    recorder.primary = primary;
    window = std::make_unique<tx::TXClipboardWindow>(recorder);
    ASSERT_TRUE(waitCycles(1));
  }

  // A manager polling every `pollMs` (0: never) instead, after its first
  // cycle, watching once the server has the requests.
  void startMgr(int32_t pollMs = 0) {
    mgr = std::make_unique<tx::TXClipboardMgr>(recorder, pollMs);
    ASSERT_TRUE(waitCycles(1));
    mgr->setMonitoring(true);
    XSync(tx::display(), False);
  }

  bool waitCycles(size_t n, std::chrono::milliseconds deadline = seconds(30)) {
    return cliptest::pumpUntil([&] { return recorder.cycles() >= n; }, peers(), deadline);
  }
  bool pumpUntil(const std::function<bool()>& done) { return cliptest::pumpUntil(done, peers()); }

  // A poll, run to its end.
  void poll(std::chrono::milliseconds deadline = seconds(30)) {
    size_t before = recorder.cycles();
    window->checkSelection(0, 0);
    ASSERT_TRUE(waitCycles(before + 1, deadline));
  }

  // `owner` takes `selection` with `text` (the same in both forms) after
  // the window's latest time.
  Time copy(Atom selection, const std::string& text) {
    return owner.own(selection, {text, text}, owner.timeAfter(window->latestTime()));
  }
  std::string lastText() const {
    return recorder.changed.empty() ? "(none)" : recorder.changed.back().text;
  }

  std::vector<cliptest::Peer*> peers() { return {&owner, &paster}; }

  plat::TimerManager timers;
  Recorder recorder;
  SelectionOwner owner{serverName()};
  cliptest::Paster paster{serverName()};
  std::unique_ptr<tx::TXClipboardWindow> window;
  std::unique_ptr<tx::TXClipboardMgr> mgr;
};

TEST_F(TXClipboardTest, FirstCycleTakesTheCurrentTextAsInitial) {
  owner.own(tx::atomClipboard(), {"already there", "already there"});
  start();
  ASSERT_EQ(recorder.changed.size(), 1u);
  EXPECT_EQ(lastText(), "already there");
  EXPECT_TRUE(recorder.changed[0].initial);
  EXPECT_FALSE(window->initial());

  // Owned in a later millisecond: an equal timestamp reads as no change.
  copy(tx::atomClipboard(), "later");
  poll();
  ASSERT_EQ(recorder.changed.size(), 2u);
  EXPECT_EQ(lastText(), "later");
  EXPECT_FALSE(recorder.changed[1].initial);

  // Other selections are refused; PRIMARY is not looked at unless preferred.
  EXPECT_THROW(window->checkSelection(paster.atom("SECONDARY"), 5), plat::Exception);
  window->checkSelection(XA_PRIMARY, 5);
  EXPECT_FALSE(window->cycleInProgress());
  EXPECT_EQ(recorder.cycles(), 2u);
}

TEST_F(TXClipboardTest, PollPrefersTheNewerSelection) {
  enum Order { primaryNewer, clipboardNewer, sameTime };
  const struct {
    bool sendPrimary;
    Order order;
    char expected;
  } cases[] = {
    {true, primaryNewer, 'P'}, {true, clipboardNewer, 'C'}, {true, sameTime, 'P'},
    {false, primaryNewer, 'C'}, {false, clipboardNewer, 'C'}, {false, sameTime, 'C'},
  };
  start();
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "sendPrimary " << c.sendPrimary << " order " << c.order);
    std::string n = std::to_string(++round);
    Time first = owner.timeAfter(window->latestTime());
    Time second = c.order == sameTime ? first : owner.timeAfter(first);
    bool primaryFirst = c.order == clipboardNewer;
    owner.own(primaryFirst ? XA_PRIMARY : tx::atomClipboard(),
              {(primaryFirst ? "P" : "C") + n, (primaryFirst ? "P" : "C") + n}, first);
    owner.own(primaryFirst ? tx::atomClipboard() : XA_PRIMARY,
              {(primaryFirst ? "C" : "P") + n, (primaryFirst ? "C" : "P") + n}, second);
    recorder.primary = c.sendPrimary;
    poll();
    EXPECT_EQ(lastText(), c.expected + n);
    // Only CLIPBOARD is asked for its time when PRIMARY is not wanted.
    EXPECT_EQ(owner.requestsFor(XA_PRIMARY, tx::atomTimestamp()) > 0, c.sendPrimary);
    owner.requests.clear();
  }

  // Polled again unchanged: nothing is fetched.
  recorder.primary = true;
  size_t changed = recorder.changed.size();
  poll();
  EXPECT_EQ(recorder.changed.size(), changed);
  EXPECT_FALSE(recorder.unchanged.back().ownedByUs);
  EXPECT_FALSE(recorder.unchanged.back().timedOut);
  EXPECT_EQ(owner.requestsFor(XA_PRIMARY, tx::atomTargets()) +
              owner.requestsFor(tx::atomClipboard(), tx::atomTargets()),
            0u);
}

TEST_F(TXClipboardTest, OwnersWithoutUtf8AndRefusedConversions) {
  start();
  owner.offerUtf8 = false;
  copy(tx::atomClipboard(), "caf\xe9 \x80 \xff");
  poll();
  EXPECT_EQ(lastText(), "caf\xc3\xa9 \xe2\x82\xac \xc3\xbf");
  EXPECT_EQ(owner.requestsFor(tx::atomClipboard(), XA_STRING), 1u);
  EXPECT_EQ(owner.requestsFor(tx::atomClipboard(), tx::atomUtf8String()), 0u);

  // An empty text is a text.
  copy(tx::atomClipboard(), "");
  poll();
  EXPECT_EQ(recorder.changed.size(), 2u);
  EXPECT_EQ(lastText(), "");

  // An owner that vanished: every conversion is refused by the server.
  SelectionOwner gone(serverName());
  gone.own(tx::atomClipboard(), {"x", "x"});
  XDestroyWindow(gone.dpy(), gone.win());
  XSync(gone.dpy(), False);
  poll();
  EXPECT_EQ(recorder.changed.size(), 2u);
  EXPECT_FALSE(recorder.unchanged.back().ownedByUs);
}

TEST_F(TXClipboardTest, NewerCutBufferWinsOnlyWhenUsed) {
  start();
  for (bool used : {false, true}) {
    SCOPED_TRACE(used);
    ScopedParam use("UseCutBuffer", used ? "1" : "0");
    std::string selected = "selected " + std::to_string(used);
    // The cut buffer must be strictly newer (the server counts milliseconds).
    owner.timeAfter(copy(tx::atomClipboard(), selected));
    Time cutBefore = tx::CutBufferEventHandler::cutBufferTime();
    paster.storeCutBuffer("cut \x80 " + std::to_string(used));
    ASSERT_TRUE(pumpUntil([&] { return tx::CutBufferEventHandler::cutBufferTime() != cutBefore; }));
    poll();
    EXPECT_EQ(lastText(), used ? "cut \xe2\x82\xac " + std::to_string(used) : selected);
  }
}

TEST_F(TXClipboardTest, ViewerTextIsOfferedEverywhereAndNotReadBack) {
  start();
  const std::string euro = "\xe2\x82\xac";
  window->setCutText(euro.size(), euro.data());
  EXPECT_TRUE(window->ownsSelection(XA_PRIMARY));
  EXPECT_EQ(XGetSelectionOwner(paster.dpy(), paster.atom("CLIPBOARD")), window->win());
  EXPECT_EQ(paster.paste(XA_PRIMARY, paster.atom("UTF8_STRING"), {&owner}).bytes, euro);
  EXPECT_EQ(paster.cutBuffer(), "\x80");

  // Our own text is ours: nothing comes back from a poll, whichever
  // selection it looks at.
  for (bool primary : {true, false}) {
    recorder.primary = primary;
    poll();
    EXPECT_TRUE(recorder.unchanged.back().ownedByUs);
  }
  EXPECT_TRUE(recorder.changed.empty());

  // CLIPBOARD taken by another client counts even while PRIMARY is ours,
  // without asking PRIMARY for its time.
  copy(tx::atomClipboard(), "theirs");
  ASSERT_TRUE(pumpUntil([&] { return !window->ownsSelection(tx::atomClipboard()); }));
  owner.requests.clear();
  recorder.primary = true;
  poll();
  EXPECT_EQ(lastText(), "theirs");
  EXPECT_EQ(owner.requestsFor(XA_PRIMARY, tx::atomTimestamp()), 0u);
}

TEST_F(TXClipboardTest, ACycleIsGivenUpAfterFiveSeconds) {
  txtest::FakeClock clock;
  plat::TimerManager manual(true, &clock);
  owner.answering = false;
  owner.own(tx::atomClipboard(), {"never", "never"});
  window = std::make_unique<tx::TXClipboardWindow>(recorder);
  recorder.primary = false;
  ASSERT_TRUE(pumpUntil([&] { return !owner.requests.empty(); }));

  clock.advanceMs(tx::TXClipboardWindow::requestTimeoutMs - 1);
  pumpUntil([] { return true; });
  EXPECT_EQ(recorder.cycles(), 0u);
  clock.advanceMs(1);
  ASSERT_TRUE(waitCycles(1));
  EXPECT_TRUE(recorder.unchanged[0].timedOut);
  EXPECT_TRUE(recorder.unchanged[0].initial);
  // The first cycle did not complete: the next one still finds the
  // reference text.
  EXPECT_TRUE(window->initial());

  owner.answering = true;
  owner.own(tx::atomClipboard(), {"answered", "answered"});
  poll();
  ASSERT_EQ(recorder.changed.size(), 1u);
  EXPECT_EQ(lastText(), "answered");
  EXPECT_TRUE(recorder.changed[0].initial);
}

// Used to go wrong: xclip hands texts larger than one X request over in
// chunks (INCR), which the agent dropped; the agent itself refused to paste
// texts of that size.
TEST_F(TXClipboardTest, MegabytesBothWaysWithXclip) {
  start();
  auto xclip = [](std::vector<std::string> argv, std::string input = {}) {
    argv.insert(argv.begin(), "xclip");
    return testsupport::BackgroundChild(std::move(argv), {{"DISPLAY", serverName()}},
                                        std::move(input));
  };
  // Above xclip's chunk size of a quarter of the largest request.
  const std::string fromDesktop = bigUtf8(3 << 20, 1);
  // xclip serves until another client takes the selection.
  testsupport::BackgroundChild owner =
    xclip({"-selection", "clipboard", "-i", "-quiet"}, fromDesktop);
  ASSERT_TRUE(cliptest::pumpUntil(
    [&] { return XGetSelectionOwner(paster.dpy(), paster.atom("CLIPBOARD")) != None; }));
  poll(seconds(120));
  EXPECT_TRUE(lastText() == fromDesktop);

  const std::string fromViewer = bigUtf8(3 << 20, 2);
  window->setCutText(fromViewer.size(), fromViewer.data());
  ASSERT_TRUE(cliptest::pumpUntil([&] { return owner.ended(); }, {}, seconds(120)));
  testsupport::BackgroundChild pasting = xclip({"-selection", "clipboard", "-o"});
  ASSERT_TRUE(cliptest::pumpUntil([&] { return pasting.ended(); }, {}, seconds(120)));
  EXPECT_TRUE(pasting.result().out == fromViewer);
}

TEST_F(TXClipboardTest, AnOwnerThatStopsSendingChunksIsGivenUp) {
  txtest::FakeClock clock;
  plat::TimerManager manual(true, &clock);
  start();
  owner.incremental = true;
  owner.chunkBytes = 1000;
  owner.chunksBeforeStall = 1;
  copy(tx::atomClipboard(), std::string(5000, 's'));
  window->checkSelection(0, 0);
  ASSERT_TRUE(pumpUntil([&] { return owner.stalled(); }));

  // Every chunk restarts the deadline.
  clock.advanceMs(tx::TXClipboardWindow::requestTimeoutMs - 1);
  owner.resume(1);
  ASSERT_TRUE(pumpUntil([&] { return owner.stalled(); }));
  EXPECT_EQ(owner.chunksSent, 2u);
  clock.advanceMs(tx::TXClipboardWindow::requestTimeoutMs - 1);
  // Pasting goes on meanwhile.
  window->setCutText(6, "served");
  EXPECT_EQ(paster.paste(XA_PRIMARY, paster.atom("UTF8_STRING"), {&owner}).bytes, "served");
  EXPECT_EQ(recorder.cycles(), 1u);

  clock.advanceMs(1);
  ASSERT_TRUE(waitCycles(2));
  EXPECT_TRUE(recorder.unchanged.back().timedOut);
  EXPECT_FALSE(window->receivingIncrementally());

  // And the next copy arrives.
  owner.incremental = false;
  copy(tx::atomClipboard(), "plain again");
  ASSERT_TRUE(pumpUntil([&] { return !window->ownsSelection(tx::atomClipboard()); }));
  poll();
  ASSERT_EQ(recorder.changed.size(), 1u);
  EXPECT_EQ(lastText(), "plain again");
}

TEST_F(TXClipboardTest, TextsAboveMaxClipboardBytesAreNeverSent) {
  enum Answer { plain, chunks, chunksOfUnknownSize };
  const struct {
    Answer answer;
    size_t bytes;
    bool sent;
  } cases[] = {
    {plain, 3000, true},  {plain, 3001, false},  {chunks, 3000, true},
    {chunks, 3001, false}, {chunksOfUnknownSize, 3001, false},
  };
  ScopedParam cap("MaxClipboardBytes", "3000");
  start();
  owner.chunkBytes = 1000;
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "answer " << c.answer << ", " << c.bytes << " bytes");
    owner.incremental = c.answer != plain;
    owner.announceSize = c.answer != chunksOfUnknownSize;
    std::string text(c.bytes, char('a' + round++));
    copy(tx::atomClipboard(), text);
    size_t changed = recorder.changed.size();
    int finished = owner.incrementalDone;
    poll();
    EXPECT_EQ(recorder.changed.size(), changed + (c.sent ? 1 : 0));
    EXPECT_TRUE(!c.sent || lastText() == text);
    // Refused chunks are drained to their end: the owner is not left waiting.
    EXPECT_TRUE(!owner.incremental ||
                pumpUntil([&] { return owner.incrementalDone == finished + 1; }));
  }
}

TEST_F(TXClipboardTest, ChangesArriveOnceThroughSelectionEvents) {
  owner.own(tx::atomClipboard(), {"at start", "at start"});
  startMgr();
  EXPECT_TRUE(mgr->hasXFixes());
  EXPECT_EQ(mgr->pollInterval(), 0);
  ASSERT_EQ(recorder.changed.size(), 1u);
  EXPECT_TRUE(recorder.changed[0].initial);
  owner.own(tx::atomClipboard(), {"copied", "copied"});
  ASSERT_TRUE(waitCycles(2));
  ASSERT_EQ(recorder.changed.size(), 2u);
  EXPECT_EQ(lastText(), "copied");
  EXPECT_FALSE(recorder.changed[1].initial);

  // The same text copied again is fetched and dropped as a repeat.
  owner.own(tx::atomClipboard(), {"copied", "copied"});
  ASSERT_TRUE(waitCycles(3));
  EXPECT_EQ(recorder.changed.size(), 2u);
  EXPECT_EQ(owner.requestsFor(tx::atomClipboard(), tx::atomUtf8String()), 3u);

  // Both selections at once: two cycles, one text.
  owner.own(XA_PRIMARY, {"both", "both"});
  owner.own(tx::atomClipboard(), {"both", "both"});
  ASSERT_TRUE(waitCycles(5));
  ASSERT_EQ(recorder.changed.size(), 3u);
  EXPECT_EQ(lastText(), "both");

  // Our own text raises an event per selection, each seen as ours.
  mgr->setCutText(5, "viewr");
  ASSERT_TRUE(waitCycles(7));
  EXPECT_TRUE(recorder.unchanged.back().ownedByUs);
  EXPECT_EQ(recorder.changed.size(), 3u);

  // PRIMARY's events are ignored unless PRIMARY is preferred. Events come in
  // order: once CLIPBOARD's cycle is over, PRIMARY's event has been seen too.
  recorder.primary = false;
  owner.requests.clear();
  owner.own(XA_PRIMARY, {"primary only", "primary only"});
  owner.own(tx::atomClipboard(), {"clipboard", "clipboard"});
  ASSERT_TRUE(waitCycles(8));
  EXPECT_EQ(recorder.cycles(), 8u);
  EXPECT_EQ(lastText(), "clipboard");
  EXPECT_EQ(owner.requestsFor(XA_PRIMARY, tx::atomTargets()), 0u);
}

TEST_F(TXClipboardTest, PollsAtTheIntervalUntilMonitoringStops) {
  startMgr(50);
  ASSERT_TRUE(waitCycles(3)); // polls run
  mgr->setMonitoring(false);
  mgr->setMonitoring(false);
  // A poll that began before monitoring stopped may still finish.
  ASSERT_TRUE(pumpUntil([&] { return !mgr->window().cycleInProgress(); }));
  size_t cycles = recorder.cycles();
  owner.own(tx::atomClipboard(), {"unseen", "unseen"});
  // A poll of our own tells when the event would have been handled.
  mgr->window().checkSelection(0, 0);
  ASSERT_TRUE(waitCycles(cycles + 1));
  EXPECT_EQ(recorder.cycles(), cycles + 1);
}

// The toolkit's display is process-wide, so a server without XFIXES needs a
// process of its own; the child reports through its exit status.
TEST(TXClipboardMgrNoXFixes, PollsEveryTwoSeconds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
    {
      testsupport::XvfbServer::Options options;
      options.disabledExtensions = {"XFIXES"};
      testsupport::XvfbServer server(options);
      tx::openDisplay(server.displayName().c_str());
      plat::TimerManager timers;
      Recorder recorder;
      SelectionOwner owner(server.displayName());
      tx::TXClipboardMgr mgr(recorder, 0);
      if (mgr.hasXFixes() || mgr.pollInterval() != 2000)
        std::_Exit(2);
      if (!cliptest::pumpUntil([&] { return recorder.cycles() == 1; }, {&owner}))
        std::_Exit(3);
      mgr.setMonitoring(true);
      owner.own(tx::atomClipboard(), {"seen by polling", "seen by polling"});
      bool seen = cliptest::pumpUntil(
        [&] { return !recorder.changed.empty() && !recorder.changed.back().initial; }, {&owner});
      std::_Exit(seen && recorder.changed.back().text == "seen by polling" ? 0 : 4);
    },
    testing::ExitedWithCode(0), "");
}

} // namespace
