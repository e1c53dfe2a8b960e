#include "ClipboardPeers.h"
#include "TXTestClient.h"

#include "uilibs/tx/Latin1.h"
#include "uilibs/tx/RequestLimit.h"
#include "uilibs/tx/TXWindow.h"

#include "testsupport/LogRecorder.h"

#include <X11/Xatom.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

namespace {

using txtest::TestClient;

// What another client got back for one conversion.
struct Answer {
  Atom property = None;
  Atom type = None;
  int format = 0;
  std::string bytes;               // format 8
  std::vector<unsigned long> longs; // format 32
};

class TXWindowSelectionTest : public ::testing::Test {
protected:
  void SetUp() override {
    txtest::openSharedDisplay();
    owner = std::make_unique<tx::TXWindow>();
    requestorWindow = client.createWindow();
  }

  // Takes PRIMARY and CLIPBOARD with `text` at the current server time.
  Time offer(const std::optional<std::string>& text) {
    Time time = tx::getServerTime();
    owner->setSelectionText(text ? text->size() : 0, text ? text->data() : nullptr, time);
    XSync(tx::display(), False);
    return time;
  }

  // The client converts `selection` to `target` (into `property`, None
  // meaning "owner's choice") and reads what it got.
  Answer convert(Atom selection, Atom target, Atom property) {
    XConvertSelection(client.dpy(), selection, target, property, requestorWindow, CurrentTime);
    XFlush(client.dpy());
    return awaitAnswer(target);
  }

  Answer awaitAnswer(Atom target) {
    std::optional<XSelectionEvent> notify;
    auto clientPump = [&] {
      XEvent event;
      while (client.nextEvent(event)) {
        if (event.type == SelectionNotify && event.xselection.target == target)
          notify = event.xselection;
      }
    };
    bool answered = txtest::pumpUntil([&] { return notify.has_value(); }, {clientPump},
                                      {client.dpy()});
    EXPECT_TRUE(answered) << "no SelectionNotify for the requestor";
    Answer answer;
    if (!notify || notify->property == None)
      return answer;
    answer.property = notify->property;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(client.dpy(), requestorWindow, notify->property, 0, 1 << 24, True,
                       AnyPropertyType, &answer.type, &answer.format, &items, &after, &data);
    if (answer.format == 8)
      answer.bytes.assign(reinterpret_cast<char*>(data), items);
    for (unsigned long i = 0; answer.format == 32 && i < items; i++)
      answer.longs.push_back(reinterpret_cast<unsigned long*>(data)[i]);
    XFree(data);
    return answer;
  }

  TestClient client;
  std::unique_ptr<tx::TXWindow> owner;
  Window requestorWindow = 0;
};

TEST_F(TXWindowSelectionTest, AnswersTheSupportedTargets) {
  const std::string text = "a\xe2\x82\xac\xc3\xbc\xe4\xb8\xad z"; // "a€ü中 z"
  Time taken = offer(text);
  Atom clipboard = client.atom("CLIPBOARD");
  Atom utf8 = client.atom("UTF8_STRING");
  Atom timestamp = client.atom("TIMESTAMP");
  Atom into = client.atom("KWO_TEST_INTO");

  Answer targets = convert(XA_PRIMARY, client.atom("TARGETS"), into);
  EXPECT_EQ(targets.property, into);
  EXPECT_EQ(targets.type, XA_ATOM);
  EXPECT_EQ(targets.format, 32);
  EXPECT_EQ(targets.longs, (std::vector<unsigned long>{timestamp, utf8, XA_STRING}));

  Answer time = convert(clipboard, timestamp, into);
  EXPECT_EQ(time.type, XA_INTEGER);
  EXPECT_EQ(time.format, 32);
  EXPECT_EQ(time.longs, (std::vector<unsigned long>{taken}));

  Answer asUtf8 = convert(clipboard, utf8, into);
  EXPECT_EQ(asUtf8.type, utf8);
  EXPECT_EQ(asUtf8.format, 8);
  EXPECT_EQ(asUtf8.bytes, text);

  // ISO-8859-1: the euro as 0x80, what Latin-1 lacks as '?'.
  Answer asString = convert(XA_PRIMARY, XA_STRING, into);
  EXPECT_EQ(asString.type, XA_STRING);
  EXPECT_EQ(asString.format, 8);
  EXPECT_EQ(asString.bytes, "a\x80\xfc? z");

  Answer unsupported = convert(XA_PRIMARY, client.atom("image/png"), into);
  EXPECT_EQ(unsupported.property, None);
}

TEST_F(TXWindowSelectionTest, RequestWithoutPropertyIsAnsweredInTheTargetsName) {
  offer(std::string("hello"));
  Atom utf8 = client.atom("UTF8_STRING");
  Answer answer = convert(XA_PRIMARY, utf8, None);
  EXPECT_EQ(answer.property, utf8);
  EXPECT_EQ(answer.bytes, "hello");
}

TEST_F(TXWindowSelectionTest, NoTextMeansTheTextTargetsAreRefused) {
  offer(std::nullopt);
  Atom into = client.atom("KWO_TEST_INTO");
  EXPECT_EQ(convert(XA_PRIMARY, client.atom("UTF8_STRING"), into).property, None);
  EXPECT_EQ(convert(XA_PRIMARY, XA_STRING, into).property, None);
  // The selection itself is still owned and answers its time.
  EXPECT_EQ(convert(XA_PRIMARY, client.atom("TIMESTAMP"), into).property, into);
}

TEST_F(TXWindowSelectionTest, RequestAfterAnotherClientTookTheSelectionIsRefused) {
  offer(std::string("mine"));
  ASSERT_TRUE(owner->ownsSelection(XA_PRIMARY));
  XSetSelectionOwner(client.dpy(), XA_PRIMARY, requestorWindow, CurrentTime);
  XSync(client.dpy(), False);
  EXPECT_TRUE(txtest::pumpUntil([&] { return !owner->ownsSelection(XA_PRIMARY); }));
  EXPECT_TRUE(owner->ownsSelection(client.atom("CLIPBOARD")));

  // A request that was sent to the old owner arrives late.
  XEvent request;
  std::memset(&request, 0, sizeof(request));
  request.xselectionrequest.type = SelectionRequest;
  request.xselectionrequest.owner = owner->win();
  request.xselectionrequest.requestor = requestorWindow;
  request.xselectionrequest.selection = XA_PRIMARY;
  request.xselectionrequest.target = client.atom("UTF8_STRING");
  request.xselectionrequest.property = client.atom("KWO_TEST_INTO");
  request.xselectionrequest.time = CurrentTime;
  XSendEvent(client.dpy(), owner->win(), False, 0, &request);
  XFlush(client.dpy());
  EXPECT_EQ(awaitAnswer(client.atom("UTF8_STRING")).property, None);
}

TEST_F(TXWindowSelectionTest, OwnershipRefusedByTheServerIsNotRecorded) {
  Atom secondary = XA_SECONDARY;
  XSetSelectionOwner(client.dpy(), secondary, requestorWindow, CurrentTime);
  XSync(client.dpy(), False);
  // A time older than the current owner's is ignored by the server.
  EXPECT_FALSE(owner->ownSelection(secondary, 1));
  EXPECT_FALSE(owner->ownsSelection(secondary));
  EXPECT_EQ(tx::TXEventDispatcher::selectionOwner(secondary), nullptr);

  EXPECT_TRUE(owner->ownSelection(secondary, tx::getServerTime()));
  EXPECT_EQ(tx::TXEventDispatcher::selectionOwner(secondary), owner.get());

  // A second toolkit window taking it over leaves the first without it.
  tx::TXWindow other;
  EXPECT_TRUE(other.ownSelection(secondary, tx::getServerTime()));
  EXPECT_FALSE(owner->ownsSelection(secondary));
  EXPECT_EQ(tx::TXEventDispatcher::selectionOwner(secondary), &other);
}

// Used to go wrong: a text longer than one X request was refused (and
// before that, written in one request that ended the agent). It goes in
// chunks to every requestor at once; one that stops reading holds nobody up
// and is dropped after the deadline.
TEST_F(TXWindowSelectionTest, TextLargerThanOneRequestIsServedInChunksToEveryRequestor) {
  cliptest::ManualClock clock;
  plat::TimerManager timers(false, &clock);
  std::string big(tx::maxPropertyBytes() + 1, 'x');
  for (size_t i = 0; i < big.size(); i += 89)
    big[i] = char('a' + i % 26);
  offer(big);
  const std::string& name = testsupport::XvfbServer::shared().displayName();
  cliptest::Paster stalling(name);
  cliptest::Paster reading(name);
  std::vector<cliptest::Peer*> peers{&stalling, &reading};
  Atom utf8 = reading.atom("UTF8_STRING");

  stalling.chunksBeforeStall = 1;
  stalling.request(XA_PRIMARY, utf8);
  ASSERT_TRUE(cliptest::pumpUntil([&] { return stalling.chunksTaken == 1; }, peers));
  reading.request(XA_PRIMARY, XA_STRING);
  ASSERT_TRUE(cliptest::pumpUntil([&] { return reading.answer().has_value(); }, peers));
  EXPECT_TRUE(reading.answer()->incremental);
  EXPECT_EQ(reading.answer()->type, Atom(XA_STRING));
  EXPECT_EQ(reading.answer()->bytes.size(), big.size());
  EXPECT_TRUE(reading.answer()->bytes == big);
  EXPECT_EQ(owner->outgoingTransfers(), 1u);

  testsupport::LogRecorder log("IncrementalSender", 30);
  clock.advanceMs(tx::IncrementalSender::timeoutMs);
  ASSERT_TRUE(cliptest::pumpUntil([&] { return owner->outgoingTransfers() == 0; }, peers));
  char dropped[128];
  std::snprintf(dropped, sizeof(dropped),
                "Dropping the incremental transfer to 0x%lx: the requestor stopped reading",
                stalling.win());
  EXPECT_EQ(log.texts(), std::vector<std::string>{dropped});
  EXPECT_FALSE(stalling.answer().has_value());

  // The connection is still good and smaller texts are served at once.
  offer(std::string(1000, 'y'));
  Atom into = client.atom("KWO_TEST_INTO");
  EXPECT_EQ(convert(XA_PRIMARY, client.atom("UTF8_STRING"), into).bytes, std::string(1000, 'y'));
}

TEST_F(TXWindowSelectionTest, TextThatJustFitsIsServed) {
  // 2 MiB is far below any BIG-REQUESTS limit but above the classic one.
  std::string text(2 << 20, 'q');
  ASSERT_LE(text.size(), tx::maxPropertyBytes());
  offer(text);
  Answer answer = convert(XA_PRIMARY, client.atom("UTF8_STRING"), client.atom("KWO_TEST_INTO"));
  EXPECT_EQ(answer.bytes.size(), text.size());
}

TEST_F(TXWindowSelectionTest, RequestorThatVanishedDoesNotEndTheAgent) {
  offer(std::string("gone"));
  Window doomed = client.createWindow();
  XConvertSelection(client.dpy(), XA_PRIMARY, client.atom("UTF8_STRING"),
                    client.atom("KWO_TEST_INTO"), doomed, CurrentTime);
  XDestroyWindow(client.dpy(), doomed);
  XSync(client.dpy(), False);
  txtest::dispatchEvents();
  XSync(tx::display(), False);
  // Still alive and answering.
  EXPECT_EQ(convert(XA_PRIMARY, client.atom("UTF8_STRING"), client.atom("KWO_TEST_INTO")).bytes,
            "gone");
}

} // namespace
