#include "ClipboardPeers.h"
#include "ClipboardRecorder.h"

#include "uilibs/tx/TXClipboardMgr.h"

#include "testsupport/LogRecorder.h"
#include "testsupport/XvfbServer.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace {

using cliptest::Recorder;
using cliptest::SelectionOwner;

const std::string& serverName() {
  return testsupport::XvfbServer::shared().displayName();
}

bool logged(testsupport::LogRecorder& log, const std::string& text) {
  std::vector<std::string> lines = log.texts();
  return std::find(lines.begin(), lines.end(), text) != lines.end();
}

class TXClipboardMgrTest : public ::testing::Test {
protected:
  void SetUp() override {
    tx::openDisplay(serverName().c_str());
    ASSERT_NE(tx::display(), nullptr);
  }

  void start(int32_t pollMs = 0) {
    mgr = std::make_unique<tx::TXClipboardMgr>(recorder, pollMs);
    ASSERT_TRUE(waitCycles(1));
  }

  // Watching starts once the server has the requests; only changes after
  // that are reported.
  void monitor() {
    mgr->setMonitoring(true);
    XSync(tx::display(), False);
  }

  bool waitCycles(size_t n) {
    return cliptest::pumpUntil([&] { return recorder.cycles() >= n; }, {&owner});
  }

  plat::TimerManager timers;
  Recorder recorder;
  SelectionOwner owner{serverName()};
  std::unique_ptr<tx::TXClipboardMgr> mgr;
};

TEST_F(TXClipboardMgrTest, ChangesArriveOnceThroughSelectionEvents) {
  owner.own(tx::atomClipboard(), {"at start", "at start"});
  testsupport::LogRecorder log("TXClipboardMgr", 110);
  start();
  EXPECT_TRUE(mgr->hasXFixes());
  EXPECT_EQ(mgr->pollInterval(), 0);
  ASSERT_EQ(recorder.changed.size(), 1u);
  EXPECT_TRUE(recorder.changed[0].initial);

  monitor();
  EXPECT_FALSE(logged(log, "Polling for clipboard updates every 0ms"));
  owner.own(tx::atomClipboard(), {"copied", "copied"});
  ASSERT_TRUE(waitCycles(2));
  ASSERT_EQ(recorder.changed.size(), 2u);
  EXPECT_EQ(recorder.changed[1].text, "copied");
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
  EXPECT_EQ(recorder.changed[2].text, "both");

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
  EXPECT_EQ(recorder.changed.back().text, "clipboard");
  EXPECT_EQ(owner.requestsFor(XA_PRIMARY, tx::atomTargets()), 0u);
}

TEST_F(TXClipboardMgrTest, PollsAtTheIntervalUntilMonitoringStops) {
  testsupport::LogRecorder log("TXClipboardMgr", 110);
  start(50);
  monitor();
  EXPECT_TRUE(logged(log, "Polling for clipboard updates every 50ms"));
  ASSERT_TRUE(waitCycles(3)); // polls run
  mgr->setMonitoring(false);
  mgr->setMonitoring(false);
  // A poll that began before monitoring stopped may still finish.
  ASSERT_TRUE(cliptest::pumpUntil([&] { return !mgr->window().cycleInProgress(); }, {&owner}));
  size_t cycles = recorder.cycles();
  owner.own(tx::atomClipboard(), {"unseen", "unseen"});
  // A poll of our own tells when the event would have been handled.
  mgr->window().checkSelection(0, 0);
  ASSERT_TRUE(waitCycles(cycles + 1));
  EXPECT_EQ(recorder.cycles(), cycles + 1);
}

// The toolkit's display is process-wide, so a server without XFIXES needs a
// process of its own: the child re-runs this test alone on a fresh
// connection and reports through its exit status.
TEST(TXClipboardMgrNoXFixes, PollsEveryTwoSeconds) {
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
      Recorder recorder;
      SelectionOwner owner(server.displayName());
      testsupport::LogRecorder log("TXClipboardMgr", 110);
      tx::TXClipboardMgr mgr(recorder, 0);
      if (mgr.hasXFixes() || mgr.pollInterval() != 2000)
        std::_Exit(2);
      if (!logged(log, "XFixes extension not present"))
        std::_Exit(3);
      if (!cliptest::pumpUntil([&] { return recorder.cycles() == 1; }, {&owner}))
        std::_Exit(6);
      mgr.setMonitoring(true);
      if (!logged(log, "Polling for clipboard updates every 2000ms"))
        std::_Exit(4);
      owner.own(tx::atomClipboard(), {"seen by polling", "seen by polling"});
      bool seen = cliptest::pumpUntil(
        [&] { return !recorder.changed.empty() && !recorder.changed.back().initial; },
        {&owner});
      if (!seen || recorder.changed.back().text != "seen by polling")
        std::_Exit(5);
      std::_Exit(0);
    },
    testing::ExitedWithCode(0), "");
}

} // namespace
