// The agent binary's clipboard bridge with other X clients: a desktop copy
// arrives once as "serverCutText" (the text present at start and repeats do
// not), and viewer text from "clientCutText" is pasted by others, as
// UTF8_STRING and as Latin-1 STRING, and never echoed. (The choices between
// selections, polling and cut buffers: the library's tests; large texts
// both ways: FaultTest.)

#include "AgentTestPeer.h"
#include "ClipboardPeer.h"
#include "testsupport/RootPainter.h"

#include <X11/Xatom.h>

namespace e2e {
namespace {

using ClipboardTest = AgentTest;

TEST_F(ClipboardTest, TextCrossesOnceEachWayAndIsNeverEchoed) {
  startXvfb();
  DesktopPeers peers(display);
  auto& [owner, paster, ownerWatch, pasterWatch, clipboard] = peers;
  Atom utf8 = owner.atom("UTF8_STRING");
  auto serving = [&](const std::function<bool()>& condition) {
    return until([&] {
      owner.serve();
      paster.serve();
      return condition();
    });
  };
  // What the desktop holds at start is the reference for repeats, never sent.
  owner.own(clipboard, {"at start", "at start"});
  launchAgent({{"EnableClipboard", "1"}});
  ASSERT_TRUE(serving([&] { return recorder.hasLog("Got CLIPBOARD selection as UTF8_STRING"); }));
  startDesktop();
  // The agent's requests made for "start" (the selection watch among them)
  // are carried out once an update with pixels answers a later request.
  for (int shade = 1; recorder.updates.empty() || recorder.updates.back().changed.isEmpty(); shade++) {
    testsupport::RootPainter(display).fill(0, 0, 16, 16, 0x010203 * unsigned(shade));
    agent->send(agentmsg::FbUpdateRequest{});
    ASSERT_TRUE(agent->waitForMsg("fbUpdate", deadlineMs));
  }

  owner.own(clipboard, {"at start", "at start"});
  ASSERT_TRUE(serving([&] { return recorder.hasLog("Filtering out duplicate cut text"); }));
  owner.own(clipboard, {"copied", "copied"});
  ASSERT_TRUE(serving([&] { return !recorder.cutTexts.empty(); }));
  owner.own(clipboard, {"copied", "copied"});
  ASSERT_TRUE(serving([&] { return recorder.logCount("Filtering out duplicate cut text") == 2; }));

  const std::string text = "price 5\xe2\x82\xac";
  agent->send(agentmsg::ClientCutText{text});
  ASSERT_TRUE(serving([&] {
    Window w = XGetSelectionOwner(paster.dpy(), clipboard);
    return w != None && w != owner.win() && w != paster.win();
  }));
  for (auto [target, expected] : {std::pair{utf8, text}, std::pair{Atom(XA_STRING), std::string("price 5\x80")}}) {
    paster.request(clipboard, target);
    ASSERT_TRUE(serving([&] { return paster.answer().has_value(); }));
    EXPECT_EQ(paster.answer()->bytes, expected);
  }
  // The agent has looked at its own selection and must not have sent it:
  // a later copy shows what came before it.
  ASSERT_TRUE(serving([&] { return recorder.hasLog("PRIMARY selection owned by us"); }));
  owner.own(clipboard, {"probe", "probe"});
  ASSERT_TRUE(serving([&] { return recorder.cutTexts.size() >= 2; }));
  EXPECT_EQ(recorder.cutTexts, (std::vector<std::string>{"copied", "probe"}));
}

} // namespace
} // namespace e2e
