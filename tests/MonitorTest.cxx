// Monitors and display modes through the agent binary on Xorg's dummy
// driver (a real RandR 1.2 screen): the monitors are listed and one of them
// can be captured alone, chosen by the server (the "Monitor" parameter:
// libs/svr's tests); sizes set by the server change the screen and the
// buffer, and new "RandR" modes are announced to it.

#include "AgentTestPeer.h"

#include "testsupport/XorgDummyServer.h"

#include <X11/Xlib.h>

namespace e2e {
namespace {

const rfb::Rect secondMonitor(1024, 0, 1824, 600);

class MonitorTest : public AgentTest {
protected:
  void startXorg(std::vector<testsupport::XorgDummyServer::Output> outputs) {
    testsupport::XorgDummyServer::Options options;
    options.outputs = std::move(outputs);
    xorg = std::make_unique<testsupport::XorgDummyServer>(options);
    display = xorg->displayName();
    dpy = XOpenDisplay(display.c_str());
  }

  void TearDown() override {
    AgentTest::TearDown();
    if (dpy)
      XCloseDisplay(dpy);
  }

  // Waits for the next buffer and the monitor report that follows it; the
  // buffer's rectangle.
  rfb::Rect nextBuffer() {
    EXPECT_TRUE(agent->waitForMsg("setPixelBuffer", deadlineMs) &&
                agent->waitForMsg("monitorsUpdated", deadlineMs));
    return recorder.buffers.back().rect;
  }

  rfb::Rect screenRect() {
    XWindowAttributes attrs;
    XGetWindowAttributes(dpy, DefaultRootWindow(dpy), &attrs);
    return rfb::Rect(0, 0, attrs.width, attrs.height);
  }

  std::unique_ptr<testsupport::XorgDummyServer> xorg;
  Display* dpy = nullptr;
};

TEST_F(MonitorTest, TwoMonitorsAreListedAndTheServerSelectsOne) {
  startXorg({{"1024x768", 0, 0}, {"800x600", 1024, 0}});
  launchAgent();
  agent->send(agentmsg::Start{});
  EXPECT_EQ(nextBuffer(), rfb::Rect(0, 0, 1824, 768));
  // How each monitor is described: libs/svr's tests.
  const agentmsg::MonitorsUpdated& report = recorder.monitorReports.back();
  ASSERT_EQ(report.monitors.size(), 2u);
  EXPECT_EQ(report.monitors[1].name, "2");
  EXPECT_EQ(report.monitors[1].rect, secondMonitor);

  agent->send(agentmsg::SetMonitor{"2"});
  EXPECT_EQ(nextBuffer(), secondMonitor);
  EXPECT_EQ(recorder.monitorReports.back().parameterSpec, "");
  EXPECT_EQ(recorder.monitorReports.back().effectiveSpec, "2");
  size_t buffers = recorder.buffers.size();
  agent->send(agentmsg::SetMonitor{"7"});
  EXPECT_TRUE(waitForLog("Invalid monitor selection: Monitor named '7' not found"));
  agent->send(agentmsg::SetMonitor{""});
  EXPECT_EQ(nextBuffer(), screenRect());
  // Messages are handled in order: nothing was rebuilt for "7".
  EXPECT_EQ(recorder.buffers.size(), buffers + 1);
}

TEST_F(MonitorTest, DisplayModesFromTheServerAndTheRandRParameter) {
  startXorg({{"1024x768", 0, 0}});
  launchAgent();
  ASSERT_TRUE(until([&] { return !recorder.modesSupported.empty(); }));
  EXPECT_TRUE(recorder.modesSupported.front());
  agent->send(agentmsg::Start{});
  nextBuffer();

  agent->send(agentmsg::SetDisplayMode{1000, 700});
  EXPECT_EQ(nextBuffer(), rfb::Rect(0, 0, 1000, 700));
  EXPECT_EQ(screenRect(), rfb::Rect(0, 0, 1000, 700));

  // The modes themselves: libs/svr's tests.
  agent->send(agentmsg::SetParams{{{"RandR", "1280x1024,foo", 10}}});
  ASSERT_TRUE(agent->waitForMsg("displayModesUpdated", deadlineMs));
}

} // namespace
} // namespace e2e
