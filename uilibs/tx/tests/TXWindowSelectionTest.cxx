#include "ClipboardPeers.h"

#include "uilibs/tx/RequestLimit.h"
#include "uilibs/tx/TXWindow.h"
#include "uilibs/tx/WindowProperty.h"

#include "testsupport/XvfbServer.h"

#include <X11/Xatom.h>

#include <memory>
#include <optional>
#include <string>

// A toolkit window as a selection owner answering other clients, and as a
// requestor taking other clients' answers.

namespace {

using cliptest::Paster;
using cliptest::SelectionOwner;

const std::string& serverName() {
  return testsupport::XvfbServer::shared().displayName();
}

// Keeps what selectionNotify was given, and lets the base keep the text.
class ReceivingWindow : public tx::TXWindow {
public:
  void selectionNotify(const XEvent& event, const tx::SelectionData& data) override {
    received.push_back(data);
    tx::TXWindow::selectionNotify(event, data);
  }
  std::vector<tx::SelectionData> received;
};

std::string textOf(const tx::TXWindow& window) {
  return window.text() ? *window.text() : "(none)";
}

class TXWindowSelectionTest : public ::testing::Test {
protected:
  void SetUp() override {
    tx::openDisplay(serverName().c_str());
    window = std::make_unique<ReceivingWindow>();
  }

  Atom atom(const char* name) { return paster.atom(name); }
  std::vector<cliptest::Peer*> peers() { return {&owner, &paster}; }

  // The window takes PRIMARY and CLIPBOARD with `text` at the current time.
  Time offer(const std::optional<std::string>& text) {
    Time time = tx::getServerTime();
    window->setSelectionText(text ? text->size() : 0, text ? text->data() : nullptr, time);
    XSync(tx::display(), False);
    return time;
  }

  Paster::Answer paste(Atom selection, Atom target, std::optional<Atom> property = {}) {
    paster.request(selection, target, property);
    EXPECT_TRUE(cliptest::pumpUntil([&] { return paster.answer().has_value(); }, peers()));
    return paster.answer().value_or(Paster::Answer{});
  }

  // The window asks the owner for CLIPBOARD as `target` and takes the answer.
  const tx::SelectionData& receive(Atom target) {
    size_t before = window->received.size();
    window->convertSelection(tx::atomClipboard(), target, tx::atomSelectionString(), CurrentTime);
    EXPECT_TRUE(cliptest::pumpUntil([&] { return window->received.size() > before; }, peers()));
    static const tx::SelectionData none;
    return window->received.size() > before ? window->received.back() : none;
  }

  txtest::FakeClock clock;
  plat::TimerManager timers{false, &clock};
  SelectionOwner owner{serverName()};
  Paster paster{serverName()};
  std::unique_ptr<ReceivingWindow> window;
};

TEST_F(TXWindowSelectionTest, AnswersTheSupportedTargets) {
  const std::string text = "a\xe2\x82\xac\xc3\xbc\xe4\xb8\xad z"; // "a€ü中 z"
  Time taken = offer(text);
  Atom clipboard = atom("CLIPBOARD"), utf8 = atom("UTF8_STRING"), into = atom("KWO_TEST_INTO");

  Paster::Answer targets = paste(XA_PRIMARY, atom("TARGETS"), into);
  EXPECT_EQ(targets.property, into);
  EXPECT_EQ(targets.type, XA_ATOM);
  EXPECT_EQ(targets.longs, (std::vector<long>{long(atom("TIMESTAMP")), long(utf8), XA_STRING}));
  Paster::Answer time = paste(clipboard, atom("TIMESTAMP"));
  EXPECT_EQ(time.type, XA_INTEGER);
  EXPECT_EQ(time.longs, (std::vector<long>{long(taken)}));
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

TEST_F(TXWindowSelectionTest, OwnershipEndsWhenAnotherClientTakesTheSelection) {
  offer(std::string("mine"));
  owner.own(XA_PRIMARY, {"theirs", "theirs"});
  EXPECT_TRUE(cliptest::pumpUntil([&] { return !window->ownsSelection(XA_PRIMARY); }, peers()));
  EXPECT_TRUE(window->ownsSelection(tx::atomClipboard()));

  // A request that was sent to the old owner arrives late: refused.
  XEvent request{};
  request.xselectionrequest = {SelectionRequest, 0, False, tx::display(), window->win(),
                               paster.win(), XA_PRIMARY, atom("UTF8_STRING"),
                               atom("KWO_TEST_INTO"), CurrentTime};
  tx::TXEventDispatcher::handleEvent(request);
  ASSERT_TRUE(cliptest::pumpUntil([&] { return paster.answer().has_value(); }, peers()));
  EXPECT_EQ(paster.answer()->property, None);
}

TEST_F(TXWindowSelectionTest, OwnershipRefusedByTheServerIsNotRecorded) {
  Atom secondary = XA_SECONDARY;
  owner.own(secondary, {"x", "x"});
  // A time older than the current owner's is ignored by the server.
  EXPECT_FALSE(window->ownSelection(secondary, 1));
  EXPECT_FALSE(window->ownsSelection(secondary));
  EXPECT_EQ(tx::TXEventDispatcher::selectionOwner(secondary), nullptr);

  EXPECT_TRUE(window->ownSelection(secondary, tx::getServerTime()));
  EXPECT_EQ(tx::TXEventDispatcher::selectionOwner(secondary), window.get());

  // A second toolkit window taking it over leaves the first without it.
  tx::TXWindow other;
  EXPECT_TRUE(other.ownSelection(secondary, tx::getServerTime()));
  EXPECT_FALSE(window->ownsSelection(secondary));
  EXPECT_EQ(tx::TXEventDispatcher::selectionOwner(secondary), &other);
}

// Used to go wrong: a text longer than one X request was refused (and
// before that, written in one request that ended the agent). It goes in
// chunks to every requestor at once; one that stops reading holds nobody up
// and is dropped after the deadline.
TEST_F(TXWindowSelectionTest, TextLargerThanOneRequestIsServedInChunksToEveryRequestor) {
  std::string big(tx::maxPropertyBytes() + 1, 'x');
  for (size_t i = 0; i < big.size(); i += 89)
    big[i] = char('a' + i % 26);
  offer(big);
  Paster stalling(serverName());
  std::vector<cliptest::Peer*> peers{&stalling, &paster};
  const std::chrono::seconds slow(120); // 16 MB through a loaded machine

  stalling.chunksBeforeStall = 1;
  stalling.request(XA_PRIMARY, atom("UTF8_STRING"));
  ASSERT_TRUE(cliptest::pumpUntil([&] { return stalling.chunksTaken == 1; }, peers, slow));
  paster.request(XA_PRIMARY, XA_STRING);
  ASSERT_TRUE(cliptest::pumpUntil([&] { return paster.answer().has_value(); }, peers, slow));
  EXPECT_TRUE(paster.answer()->incremental);
  EXPECT_EQ(paster.answer()->type, Atom(XA_STRING));
  EXPECT_EQ(paster.answer()->bytes.size(), big.size());
  EXPECT_TRUE(paster.answer()->bytes == big);
  EXPECT_EQ(window->outgoingTransfers(), 1u);

  clock.advanceMs(tx::IncrementalSender::timeoutMs);
  ASSERT_TRUE(cliptest::pumpUntil([&] { return window->outgoingTransfers() == 0; }, peers, slow));
  EXPECT_FALSE(stalling.answer().has_value());

  // The connection is still good, and a text above the classic request
  // limit but within BIG-REQUESTS goes in one piece.
  std::string fits(2 << 20, 'q');
  ASSERT_LE(fits.size(), tx::maxPropertyBytes());
  offer(fits);
  Paster::Answer answer = paste(XA_PRIMARY, atom("UTF8_STRING"));
  EXPECT_FALSE(answer.incremental);
  EXPECT_TRUE(answer.bytes == fits);
}

TEST_F(TXWindowSelectionTest, RequestorThatVanishedDoesNotEndTheAgent) {
  offer(std::string("gone"));
  Window doomed = XCreateSimpleWindow(paster.dpy(), DefaultRootWindow(paster.dpy()), 0, 0, 1, 1,
                                      0, 0, 0);
  XConvertSelection(paster.dpy(), XA_PRIMARY, atom("UTF8_STRING"), atom("KWO_TEST_INTO"), doomed,
                    CurrentTime);
  XDestroyWindow(paster.dpy(), doomed);
  XSync(paster.dpy(), False);
  txtest::dispatchEvents();
  XSync(tx::display(), False);
  // Still alive and answering.
  EXPECT_EQ(paste(XA_PRIMARY, atom("UTF8_STRING")).bytes, "gone");
}

TEST_F(TXWindowSelectionTest, TextAnswersBecomeTheWindowsText) {
  owner.own(tx::atomClipboard(), {"\xe4\xb8\xad\xe6\x96\x87", "caf\xe9 \x80"});
  const tx::SelectionData& latin1 = receive(XA_STRING);
  EXPECT_EQ(latin1.format, 8);
  EXPECT_EQ(latin1.bytes, "caf\xe9 \x80");
  EXPECT_EQ(textOf(*window), "caf\xc3\xa9 \xe2\x82\xac");
  EXPECT_EQ(receive(tx::atomUtf8String()).bytes, "\xe4\xb8\xad\xe6\x96\x87");
  EXPECT_EQ(textOf(*window), "\xe4\xb8\xad\xe6\x96\x87");
  // Other answers leave the text alone.
  EXPECT_EQ(receive(tx::atomTargets()).format, 32);
  EXPECT_EQ(textOf(*window), "\xe4\xb8\xad\xe6\x96\x87");
  owner.own(tx::atomClipboard(), {"", ""});
  receive(tx::atomUtf8String());
  EXPECT_EQ(textOf(*window), "");
}

// Used to go wrong: an answer in chunks reached the window as an empty text
// and its chunks were thrown away.
TEST_F(TXWindowSelectionTest, AnswerInChunksArrivesWholeAfterItsLastChunk) {
  window->setSelectionText(3, "old", tx::getServerTime());
  owner.incremental = true;
  owner.chunkBytes = 1000;
  const std::string whole = std::string(1000, 'a') + std::string(500, 'b') + "c";
  owner.own(tx::atomClipboard(), {whole, whole});
  const tx::SelectionData& data = receive(tx::atomUtf8String());
  EXPECT_TRUE(data.type == tx::atomUtf8String() && data.format == 8 && data.items == whole.size());
  EXPECT_EQ(data.bytes, whole);
  EXPECT_EQ(textOf(*window), whole);
  EXPECT_EQ(owner.chunksSent, 3u);
  EXPECT_FALSE(window->receivingIncrementally());

  // The empty end chunk is taken as well.
  ASSERT_TRUE(cliptest::pumpUntil([&] { return owner.incrementalDone == 1; }, peers()));
  EXPECT_TRUE(cliptest::pumpUntil([&] {
    return tx::WindowProperty::read(window->win(), tx::atomSelectionString(), false).type() == None;
  }, peers()));
}

TEST_F(TXWindowSelectionTest, RefusedOrUnansweredConversions) {
  // Nobody owns this selection: the server itself refuses.
  Atom unowned = atom("KWO_TEST_UNOWNED_SELECTION");
  window->convertSelection(unowned, tx::atomUtf8String(), tx::atomSelectionString(), CurrentTime);
  EXPECT_TRUE(window->waitForSelectionNotify(unowned, tx::atomUtf8String(), 30000));
  txtest::dispatchEvents();
  ASSERT_EQ(window->received.size(), 1u);
  EXPECT_EQ(window->received[0].type, Atom(None));
  EXPECT_EQ(window->received[0].items, 0u);
  EXPECT_EQ(window->text(), nullptr);

  // An owner that never answers: the wait ends at its deadline.
  owner.answering = false;
  owner.own(tx::atomClipboard(), {"x", "x"});
  window->convertSelection(tx::atomClipboard(), tx::atomUtf8String(), tx::atomSelectionString(),
                           CurrentTime);
  EXPECT_FALSE(window->waitForSelectionNotify(tx::atomClipboard(), tx::atomUtf8String(), 200));
  EXPECT_EQ(window->received.size(), 1u);
}

} // namespace
