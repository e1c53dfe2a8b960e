#include "uilibs/tx/tests/ClipboardPeers.h"

#include "libs/svr/SClipboardX11.h"

#include "uilibs/tx/TXClipboardMgr.h"

#include "testsupport/LogRecorder.h"
#include "testsupport/XvfbServer.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

using cliptest::Paster;
using cliptest::Peer;
using cliptest::ScopedParam;
using cliptest::SelectionOwner;

const std::string& serverName() {
  return testsupport::XvfbServer::shared().displayName();
}

// The server link's side: what would go out as "serverCutText".
class Sink : public svr::SClipboardX11::Callback {
public:
  void serverCutText(std::string_view text) override { sent.emplace_back(text); }
  std::vector<std::string> sent;
};

class SClipboardX11Test : public ::testing::Test {
protected:
  void SetUp() override {
    tx::openDisplay(serverName().c_str());
    ASSERT_NE(tx::display(), nullptr);
  }

  // Builds the bridge and waits until it has looked at the current text.
  void start() {
    bridge = std::make_unique<svr::SClipboardX11>(sink);
    ASSERT_TRUE(pump([&] { return !window().initial(); }));
  }

  void monitor(bool on) {
    bridge->setMonitoring(on);
    XSync(tx::display(), False);
  }

  tx::TXClipboardWindow& window() { return bridge->manager().window(); }

  bool pump(const std::function<bool()>& done) {
    return cliptest::pumpUntil(done, {&owner, &paster});
  }

  // A fetch of `selection` (asked for the `n`th time) has ended.
  bool fetched(Atom selection, size_t n) {
    return pump([&] {
      return owner.requestsFor(selection, tx::atomUtf8String()) >= n &&
             !window().cycleInProgress();
    });
  }

  // Every event the server had for the toolkit when this is called has been
  // dispatched.
  void drainEvents() {
    XSync(tx::display(), False);
    cliptest::pumpUntil([] { return true; }, {&owner, &paster});
  }


  plat::TimerManager timers;
  Sink sink;
  SelectionOwner owner{serverName()};
  Paster paster{serverName()};
  std::unique_ptr<svr::SClipboardX11> bridge;
};

TEST_F(SClipboardX11Test, StartTextIsNotSentACopyIsSentOnceARepeatIsFiltered) {
  owner.own(tx::atomClipboard(), {"on the desktop", "on the desktop"});
  start();
  monitor(true);
  EXPECT_TRUE(sink.sent.empty());

  owner.own(tx::atomClipboard(), {"copied", "copied"});
  ASSERT_TRUE(pump([&] { return !sink.sent.empty(); }));
  EXPECT_EQ(sink.sent, std::vector<std::string>{"copied"});

  owner.own(tx::atomClipboard(), {"copied", "copied"});
  ASSERT_TRUE(fetched(tx::atomClipboard(), 3));
  EXPECT_EQ(sink.sent.size(), 1u);
}

TEST_F(SClipboardX11Test, SendPrimaryChoosesBetweenNewerPrimaryAndClipboard) {
  struct Case {
    const char* sendPrimary;
    bool primaryNewer;
    const char* expected;
  };
  const Case cases[] = {
    {"1", true, "primary"}, {"1", false, "clipboard"},
    {"0", true, "clipboard"}, {"0", false, "clipboard"},
  };
  start();
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "SendPrimary " << c.sendPrimary << " primary newer "
                                    << c.primaryNewer);
    ScopedParam primary("SendPrimary", c.sendPrimary);
    round++;
    std::string p = "primary " + std::to_string(round);
    std::string cl = "clipboard " + std::to_string(round);
    Time older = owner.timeAfter(window().latestTime());
    Time newer = owner.timeAfter(older);
    owner.own(XA_PRIMARY, {p, p}, c.primaryNewer ? newer : older);
    owner.own(tx::atomClipboard(), {cl, cl}, c.primaryNewer ? older : newer);
    size_t before = sink.sent.size();
    window().checkSelection(0, 0);
    ASSERT_TRUE(pump([&] { return sink.sent.size() > before; }));
    EXPECT_EQ(sink.sent.back(), std::string(c.expected) + " " + std::to_string(round));
  }
}

TEST_F(SClipboardX11Test, Latin1OnlyOwnerArrivesAsUtf8) {
  start();
  monitor(true);
  owner.offerUtf8 = false;
  owner.own(tx::atomClipboard(), {"", "na\xefve \x80"});
  ASSERT_TRUE(pump([&] { return !sink.sent.empty(); }));
  EXPECT_EQ(sink.sent.back(), "na\xc3\xafve \xe2\x82\xac");
}

TEST_F(SClipboardX11Test, NewerCutBufferIsSentWithUseCutBuffer) {
  ScopedParam use("UseCutBuffer", "1");
  start();
  Time selected = owner.own(tx::atomClipboard(), {"selection", "selection"},
                            owner.timeAfter(window().latestTime()));
  owner.timeAfter(selected);
  paster.storeCutBuffer("from the cut buffer \xe9");
  drainEvents();
  window().checkSelection(0, 0);
  ASSERT_TRUE(pump([&] { return !sink.sent.empty(); }));
  EXPECT_EQ(sink.sent.back(), "from the cut buffer \xc3\xa9");
}

TEST_F(SClipboardX11Test, ViewerTextIsPastedEverywhereAndNeverEchoed) {
  start();
  monitor(true);
  const std::string text = "price 5\xe2\x82\xac";
  bridge->setCutText(text);
  EXPECT_EQ(XGetSelectionOwner(paster.dpy(), XA_PRIMARY), window().win());
  EXPECT_EQ(XGetSelectionOwner(paster.dpy(), paster.atom("CLIPBOARD")), window().win());

  for (Atom selection : {Atom(XA_PRIMARY), paster.atom("CLIPBOARD")}) {
    Paster::Answer answer = paster.paste(selection, paster.atom("UTF8_STRING"), {&owner});
    EXPECT_EQ(answer.type, paster.atom("UTF8_STRING"));
    EXPECT_EQ(answer.bytes, text);
  }
  bridge->setCutText("\xe2\x82\xac");
  EXPECT_EQ(paster.cutBuffer(), "\x80");

  // The selection events of our own ownership and a poll on top.
  drainEvents();
  window().checkSelection(0, 0);
  ASSERT_TRUE(pump([&] { return !window().cycleInProgress(); }));
  EXPECT_TRUE(sink.sent.empty());
}

TEST_F(SClipboardX11Test, NothingIsWatchedWhileMonitoringIsOff) {
  ScopedParam poll("poll", "100");
  testsupport::LogRecorder log("TXClipboardMgr", 110);
  start();
  EXPECT_FALSE(bridge->monitoring());
  monitor(true);
  monitor(true);
  std::vector<std::string> lines = log.texts();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Polling for clipboard updates every 100ms"),
            1);
  monitor(false);
  EXPECT_FALSE(bridge->monitoring());

  owner.own(tx::atomClipboard(), {"unwatched", "unwatched"});
  drainEvents();
  EXPECT_FALSE(window().cycleInProgress());
  EXPECT_TRUE(sink.sent.empty());
  EXPECT_EQ(owner.requestsFor(tx::atomClipboard(), tx::atomUtf8String()), 0u);
}

// The display connection is process-wide: the run without XFIXES happens in
// a re-executed child that reports through its exit status.
TEST(SClipboardX11NoXFixes, PollingDeliversChanges) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
    {
      testsupport::XvfbServer::Options options;
      options.width = 320;
      options.height = 200;
      options.disabledExtensions = {"XFIXES"};
      testsupport::XvfbServer server(options);
      tx::openDisplay(server.displayName().c_str());
      plat::TimerManager timers;
      Sink sink;
      SelectionOwner owner(server.displayName());
      svr::SClipboardX11 bridge(sink);
      if (bridge.manager().pollInterval() != tx::TXClipboardMgr::defaultPollMs)
        std::_Exit(2);
      if (!cliptest::pumpUntil([&] { return !bridge.manager().window().initial(); }, {&owner}))
        std::_Exit(3);
      bridge.setMonitoring(true);
      owner.own(tx::atomClipboard(), {"polled copy", "polled copy"});
      if (!cliptest::pumpUntil([&] { return !sink.sent.empty(); }, {&owner}))
        std::_Exit(4);
      std::_Exit(sink.sent == std::vector<std::string>{"polled copy"} ? 0 : 5);
    },
    testing::ExitedWithCode(0), "");
}

} // namespace
