#include "ClipboardPeers.h"

#include "uilibs/tx/RequestLimit.h"
#include "uilibs/tx/TXClipboardMgr.h"
#include "uilibs/tx/TXClipboardWindow.h"

#include "base/plat/Latin1.h"
#include "base/plat/tests/TimerTestSupport.h"
#include "testsupport/XvfbServer.h"

#include <memory>
#include <string_view>

// A toolkit window as a selection owner and requestor against other X
// clients; the clipboard window's fetch cycles; the manager that starts
// them on selection events or polls.

namespace {

using cliptest::Paster;
using cliptest::ScopedParam;
using cliptest::SelectionOwner;
using std::chrono::seconds;

const std::string& serverName() {
  return testsupport::XvfbServer::shared().displayName();
}

// Another client that owns selections and one that pastes.
class PeersTest : public ::testing::Test {
protected:
  PeersTest() { tx::openDisplay(serverName().c_str()); }

  bool pumpUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds deadline = seconds(30)) {
    return cliptest::pumpUntil(done, {&owner, &paster}, deadline);
  }
  Atom atom(const char* name) { return paster.atom(name); }

  Paster::Answer paste(Atom selection, Atom target, std::optional<Atom> property = {}) {
    paster.request(selection, target, property);
    EXPECT_TRUE(pumpUntil([&] { return paster.answer().has_value(); }));
    return paster.answer().value_or(Paster::Answer{});
  }

  plat::TimerManager timers;
  SelectionOwner owner{serverName()};
  Paster paster{serverName()};
};

// Keeps what selectionNotify was given, and lets the base keep the text.
class ReceivingWindow : public tx::TXWindow {
public:
  void selectionNotify(const XEvent& event, const tx::SelectionData& data) override {
    received.push_back(data);
    tx::TXWindow::selectionNotify(event, data);
  }
  std::vector<tx::SelectionData> received;
};

class TXWindowSelectionTest : public PeersTest {
protected:
  // The window takes PRIMARY and CLIPBOARD with `text` at the current time.
  Time offer(const std::optional<std::string>& text) {
    Time time = tx::getServerTime();
    window.setSelectionText(text ? text->size() : 0, text ? text->data() : nullptr, time);
    XSync(tx::display(), False);
    return time;
  }

  // The window asks the owner for CLIPBOARD as `target` and takes the answer.
  tx::SelectionData receive(Atom target) {
    size_t before = window.received.size();
    window.convertSelection(tx::atomClipboard(), target, tx::atomSelectionString(), CurrentTime);
    EXPECT_TRUE(pumpUntil([&] { return window.received.size() > before; }));
    return window.received.size() > before ? window.received.back() : tx::SelectionData{};
  }
  std::string text() const { return window.text() ? *window.text() : "(none)"; }

  ReceivingWindow window;
};

TEST_F(TXWindowSelectionTest, AnswersTheSupportedTargets) {
  const std::string text = "a\xe2\x82\xac\xc3\xbc\xe4\xb8\xad z"; // "a€ü中 z"
  Time taken = offer(text);
  Atom clipboard = atom("CLIPBOARD"), utf8 = atom("UTF8_STRING");

  Paster::Answer targets = paste(XA_PRIMARY, atom("TARGETS"));
  EXPECT_EQ(targets.type, XA_ATOM);
  EXPECT_EQ(targets.longs, (std::vector<long>{long(atom("TIMESTAMP")), long(utf8), XA_STRING}));
  EXPECT_EQ(paste(clipboard, atom("TIMESTAMP")).longs, (std::vector<long>{long(taken)}));
  Paster::Answer asUtf8 = paste(clipboard, utf8);
  EXPECT_TRUE(asUtf8.type == utf8 && asUtf8.format == 8 && asUtf8.bytes == text);
  // ISO-8859-1: the euro as 0x80, what Latin-1 lacks as '?'.
  Paster::Answer asString = paste(XA_PRIMARY, XA_STRING);
  EXPECT_EQ(asString.type, XA_STRING);
  EXPECT_EQ(asString.bytes, "a\x80\xfc? z");
  EXPECT_EQ(paste(XA_PRIMARY, atom("image/png")).property, None);
  // A request without a property is answered in the target's name.
  EXPECT_EQ(paste(XA_PRIMARY, utf8, None).property, utf8);

  // Without a text the text targets are refused, but the selection is
  // still owned and answers its time.
  offer(std::nullopt);
  EXPECT_EQ(paste(XA_PRIMARY, utf8).property, None);
  EXPECT_EQ(paste(XA_PRIMARY, XA_STRING).property, None);
  EXPECT_NE(paste(XA_PRIMARY, atom("TIMESTAMP")).property, None);
}

// Used to go wrong: a text longer than one X request was refused (and
// before that, written in one request that ended the agent). It goes in
// chunks to every requestor at once; one that stops reading holds nobody up
// and is dropped after the deadline.
TEST_F(TXWindowSelectionTest, TextLargerThanOneRequestIsServedInChunksToEveryRequestor) {
  plat_test::FakeClock clock;
  plat::TimerManager manual(true, &clock);
  std::string big(tx::maxPropertyBytes() + 1, 'x');
  for (size_t i = 0; i < big.size(); i += 89)
    big[i] = char('a' + i % 26);
  offer(big);
  Paster stalling(serverName());
  std::vector<cliptest::Peer*> peers{&stalling, &paster};
  const seconds slow(120); // 16 MB through a loaded machine

  stalling.chunksBeforeStall = 1;
  stalling.request(XA_PRIMARY, atom("UTF8_STRING"));
  ASSERT_TRUE(cliptest::pumpUntil([&] { return stalling.chunksTaken == 1; }, peers, slow));
  paster.request(XA_PRIMARY, XA_STRING);
  ASSERT_TRUE(cliptest::pumpUntil([&] { return paster.answer().has_value(); }, peers, slow));
  EXPECT_TRUE(paster.answer()->incremental);
  EXPECT_EQ(paster.answer()->type, Atom(XA_STRING));
  EXPECT_TRUE(paster.answer()->bytes == big);
  EXPECT_EQ(window.outgoingTransfers(), 1u);

  clock.advanceMs(tx::IncrementalSender::timeoutMs);
  ASSERT_TRUE(cliptest::pumpUntil([&] { return window.outgoingTransfers() == 0; }, peers, slow));
  EXPECT_FALSE(stalling.answer().has_value());

  // The connection is still good, and a text above the classic request
  // limit but within BIG-REQUESTS goes in one piece.
  std::string fits(2 << 20, 'q');
  ASSERT_LE(fits.size(), tx::maxPropertyBytes());
  offer(fits);
  Paster::Answer answer = paste(XA_PRIMARY, atom("UTF8_STRING"));
  EXPECT_FALSE(answer.incremental);
  EXPECT_TRUE(answer.bytes == fits);

  // A requestor that vanished before its answer does not end the agent.
  Window doomed = XCreateSimpleWindow(paster.dpy(), DefaultRootWindow(paster.dpy()), 0, 0, 1, 1,
                                      0, 0, 0);
  XConvertSelection(paster.dpy(), XA_PRIMARY, atom("UTF8_STRING"), atom("KWO_TEST_INTO"), doomed,
                    CurrentTime);
  XDestroyWindow(paster.dpy(), doomed);
  XSync(paster.dpy(), False);
  offer(std::string("still"));
  EXPECT_EQ(paste(XA_PRIMARY, atom("UTF8_STRING")).bytes, "still");
}

// Used to go wrong: an answer in chunks reached the window as an empty text
// and its chunks were thrown away. Answers in chunks are put together by the
// same window code for the clipboard's fetches, pinned by
// TextsAboveMaxClipboardBytesAreNeverSent.
TEST_F(TXWindowSelectionTest, TextAnswersBecomeTheWindowsText) {
  owner.own(tx::atomClipboard(), {"\xe4\xb8\xad", "caf\xe9 \x80"});
  EXPECT_EQ(receive(XA_STRING).bytes, "caf\xe9 \x80");
  EXPECT_EQ(text(), "caf\xc3\xa9 \xe2\x82\xac");
  // Other answers leave the text alone.
  EXPECT_EQ(receive(tx::atomTargets()).format, 32);
  EXPECT_EQ(text(), "caf\xc3\xa9 \xe2\x82\xac");
}

// Texts that fetch cycles found, with their `initial` flag.
using Texts = std::vector<std::pair<std::string, bool>>;

// Records what each fetch cycle reported.
struct Recorder : tx::TXClipboardWindow::Callback {
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
  std::string last() const { return changed.empty() ? "(none)" : changed.back().first; }

  bool primary = true;
  Texts changed;
  std::vector<Unchanged> unchanged;
};

class TXClipboardTest : public PeersTest {
protected:
  // Creates the window and waits for its first cycle.
  void start(bool primary = false) {
    recorder.primary = primary;
    window = std::make_unique<tx::TXClipboardWindow>(recorder);
    ASSERT_TRUE(waitCycles(1));
  }

  // A manager that never polls instead, after its first cycle, watching
  // once the server has the requests.
  void startMgr() {
    mgr = std::make_unique<tx::TXClipboardMgr>(recorder, 0);
    ASSERT_TRUE(waitCycles(1));
    mgr->setMonitoring(true);
    XSync(tx::display(), False);
  }

  bool waitCycles(size_t n, std::chrono::milliseconds deadline = seconds(30)) {
    return pumpUntil([&] { return recorder.cycles() >= n; }, deadline);
  }

  // A poll, run to its end.
  void poll() {
    size_t before = recorder.cycles();
    window->checkSelection(0, 0);
    ASSERT_TRUE(waitCycles(before + 1));
  }

  // `owner` takes `selection` with `text` (the same in both forms) after
  // the window's latest time.
  Time copy(Atom selection, const std::string& text) {
    return owner.own(selection, {text, text}, owner.timeAfter(window->latestTime()));
  }

  Recorder recorder;
  std::unique_ptr<tx::TXClipboardWindow> window;
  std::unique_ptr<tx::TXClipboardMgr> mgr;
};

TEST_F(TXClipboardTest, PollPrefersTheNewerSelection) {
  enum Order { primaryNewer, clipboardNewer, sameTime };
  const struct {
    bool sendPrimary;
    Order order;
    char expected;
  } cases[] = {
    {true, primaryNewer, 'P'},  {true, clipboardNewer, 'C'},  {true, sameTime, 'P'},
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
    EXPECT_EQ(recorder.last(), c.expected + n);
    // Only CLIPBOARD is asked for its time when PRIMARY is not wanted.
    EXPECT_EQ(owner.requestsFor(XA_PRIMARY, tx::atomTimestamp()) > 0, c.sendPrimary);
    owner.requests.clear();
  }
}

// (Owners without UTF8_STRING: TextsAboveMaxClipboardBytesAreNeverSent.)
TEST_F(TXClipboardTest, AnEmptyTextIsATextARefusedConversionIsNot) {
  start();
  copy(tx::atomClipboard(), "");
  poll();
  EXPECT_EQ(recorder.changed, (Texts{{"", false}}));

  // An owner that vanished: every conversion is refused by the server.
  SelectionOwner gone(serverName());
  gone.own(tx::atomClipboard(), {"x", "x"});
  XDestroyWindow(gone.dpy(), gone.win());
  XSync(gone.dpy(), False);
  poll();
  EXPECT_EQ(recorder.changed.size(), 1u);
  EXPECT_FALSE(recorder.unchanged.back().ownedByUs);
}

TEST_F(TXClipboardTest, ViewerTextIsOfferedEverywhereAndNotReadBack) {
  start();
  window->setCutText(3, "\xe2\x82\xac");
  EXPECT_TRUE(window->ownsSelection(XA_PRIMARY));
  EXPECT_EQ(XGetSelectionOwner(paster.dpy(), atom("CLIPBOARD")), window->win());
  EXPECT_EQ(paster.cutBuffer(), "\x80");

  // Our own text is ours: nothing comes back from a poll.
  poll();
  EXPECT_TRUE(recorder.unchanged.back().ownedByUs);
  EXPECT_TRUE(recorder.changed.empty());

  // CLIPBOARD taken by another client counts even while PRIMARY is ours,
  // without asking PRIMARY for its time.
  copy(tx::atomClipboard(), "theirs");
  ASSERT_TRUE(pumpUntil([&] { return !window->ownsSelection(tx::atomClipboard()); }));
  owner.requests.clear();
  recorder.primary = true;
  poll();
  EXPECT_EQ(recorder.last(), "theirs");
  EXPECT_EQ(owner.requestsFor(XA_PRIMARY, tx::atomTimestamp()), 0u);
}

TEST_F(TXClipboardTest, ACycleIsGivenUpAfterFiveSeconds) {
  plat_test::FakeClock clock;
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
  EXPECT_TRUE(recorder.unchanged[0].timedOut && recorder.unchanged[0].initial);
  // The first cycle did not complete: the next one still finds the
  // reference text.
  EXPECT_TRUE(window->initial());
  owner.answering = true;
  owner.own(tx::atomClipboard(), {"answered", "answered"});
  poll();
  EXPECT_EQ(recorder.changed, (Texts{{"answered", true}}));
}

// Used to go wrong: the 5000 ms limit covered the whole fetch, so a large
// text arriving in chunks was given up while its owner was still sending.
TEST_F(TXClipboardTest, AnOwnerThatStopsSendingChunksIsGivenUp) {
  plat_test::FakeClock clock;
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
  EXPECT_EQ(paste(XA_PRIMARY, atom("UTF8_STRING")).bytes, "served");
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
  EXPECT_EQ(recorder.changed, (Texts{{"plain again", false}}));
}

// Used to go wrong: answers in chunks (INCR) were thrown away, and reads
// were cut at 256 KB; now whole up to MaxClipboardBytes, never in part.
TEST_F(TXClipboardTest, TextsAboveMaxClipboardBytesAreNeverSent) {
  // `latin1`: only STRING is offered, and the cap holds for the text in
  // UTF-8 (`bytes`), twice the size of its ISO-8859-1 form.
  enum Answer { plain, chunks, chunksOfUnknownSize, latin1 };
  const struct {
    Answer answer;
    size_t bytes;
    bool sent;
  } cases[] = {
    {plain, 3000, true},   {plain, 3001, false},
    {chunks, 3000, true},  {chunks, 3001, false},
    {chunksOfUnknownSize, 3001, false},
    {latin1, 3000, true},  {latin1, 3001, false},
  };
  ScopedParam cap("MaxClipboardBytes", "3000");
  start();
  owner.chunkBytes = 1000;
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "answer " << c.answer << ", " << c.bytes << " bytes");
    owner.incremental = c.answer == chunks || c.answer == chunksOfUnknownSize;
    owner.announceSize = c.answer != chunksOfUnknownSize;
    owner.offerUtf8 = c.answer != latin1;
    std::string text(c.bytes, char('a' + round++));
    if (c.answer == latin1)
      text = std::string(c.bytes / 2, '\xe9') + text.substr(0, c.bytes % 2);
    copy(tx::atomClipboard(), text);
    if (c.answer == latin1)
      text = plat::latin1ToUtf8(text);
    size_t changed = recorder.changed.size();
    int finished = owner.incrementalDone;
    poll();
    EXPECT_EQ(recorder.changed.size(), changed + (c.sent ? 1 : 0));
    EXPECT_TRUE(!c.sent || recorder.last() == text);
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
  owner.own(tx::atomClipboard(), {"copied", "copied"});
  ASSERT_TRUE(waitCycles(2));
  EXPECT_EQ(recorder.changed, (Texts{{"at start", true}, {"copied", false}}));

  // (Repeats and our own text: the agent's end-to-end clipboard test.)

  // PRIMARY's events are ignored unless PRIMARY is preferred. Events come in
  // order: once CLIPBOARD's cycle is over, PRIMARY's event has been seen too.
  recorder.primary = false;
  owner.requests.clear();
  owner.own(XA_PRIMARY, {"primary only", "primary only"});
  owner.own(tx::atomClipboard(), {"clipboard", "clipboard"});
  ASSERT_TRUE(waitCycles(3));
  EXPECT_EQ(recorder.cycles(), 3u);
  EXPECT_EQ(recorder.last(), "clipboard");
  EXPECT_EQ(owner.requestsFor(XA_PRIMARY, tx::atomTargets()), 0u);
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
      auto seen = [&] { return recorder.last() == "seen by polling"; };
      std::_Exit(cliptest::pumpUntil(seen, {&owner}) ? 0 : 4);
    },
    testing::ExitedWithCode(0), "");
}

} // namespace
