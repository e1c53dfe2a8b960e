// Display modes and monitors through the agent binary on Xorg's dummy
// driver (a real RandR 1.2 screen): sizes set by the server change the
// screen and the announced buffer, the "RandR" parameter adds its modes,
// the monitors are listed and one of them can be captured alone, chosen by
// the "Monitor" parameter or by the server.

#include "base/io/FdSelectManager.h"
#include "libs/agenthost/AgentProcess.h"
#include "libs/agentmsg/ToAgentMsgs.h"
#include "tests/LaunchedAgent.h"
#include "testsupport/XorgDummyServer.h"
#include "testsupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include "uilibs/tx/XrandrFns.h"

#include <algorithm>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace e2e {
namespace {

using agenthost::AgentProcess;
using testsupport::XorgDummyServer;

constexpr int deadlineMs = 60000;

struct Recorder : agenthost::FromAgentHandler {
  std::vector<agentmsg::SetPixelBuffer> buffers;
  std::vector<agentmsg::MonitorsUpdated> monitorReports;
  std::vector<bool> modesSupported;
  int modesUpdated = 0;
  std::vector<std::string> logs;

  void setPixelBuffer(const agentmsg::SetPixelBuffer& msg) override { buffers.push_back(msg); }
  void monitorsUpdated(const agentmsg::MonitorsUpdated& msg) override {
    monitorReports.push_back(msg);
  }
  void displayModesSupported(const agentmsg::DisplayModesSupported& msg) override {
    modesSupported.push_back(msg.supported);
  }
  void displayModesUpdated(const agentmsg::DisplayModesUpdated&) override { modesUpdated++; }
  void logMsg(const agentmsg::LogMsg& msg) override { logs.push_back(msg.text); }

  bool hasLog(const std::string& text) const {
    return std::find(logs.begin(), logs.end(), text) != logs.end();
  }
  // The last announced buffer's rectangle; empty for a withdrawn buffer.
  rfb::Rect bufferRect() const {
    if (buffers.empty() || !buffers.back().segment)
      return rfb::Rect();
    return buffers.back().rect;
  }
};

// Another client of the X server: reads the screen size and mode names.
class XClient {
public:
  explicit XClient(const std::string& display) : dpy_(XOpenDisplay(display.c_str())) {
    if (!dpy_)
      throw std::runtime_error("cannot open " + display);
  }
  ~XClient() { XCloseDisplay(dpy_); }
  XClient(const XClient&) = delete;
  XClient& operator=(const XClient&) = delete;

  rfb::Rect screenRect() {
    Window r;
    int x, y;
    unsigned w, h, border, depth;
    XGetGeometry(dpy_, DefaultRootWindow(dpy_), &r, &x, &y, &w, &h, &border, &depth);
    return rfb::Rect(0, 0, int(w), int(h));
  }

  std::set<std::string> modeNames() {
    std::set<std::string> names;
    XRRScreenResources* res = tx::XRRGetScreenResources(dpy_, DefaultRootWindow(dpy_));
    if (!res)
      return names;
    for (int i = 0; i < res->nmode; i++)
      names.insert(std::string(res->modes[i].name, res->modes[i].nameLength));
    tx::XRRFreeScreenResources(res);
    return names;
  }

  bool hasMode(const std::string& name) { return modeNames().count(name) > 0; }

  // The mode of the first CRTC that shows one.
  std::string currentModeName() {
    std::string name;
    XRRScreenResources* res = tx::XRRGetScreenResources(dpy_, DefaultRootWindow(dpy_));
    for (int c = 0; res && name.empty() && c < res->ncrtc; c++) {
      XRRCrtcInfo* crtc = tx::XRRGetCrtcInfo(dpy_, res, res->crtcs[c]);
      for (int m = 0; crtc && crtc->mode != None && m < res->nmode; m++) {
        if (res->modes[m].id == crtc->mode)
          name.assign(res->modes[m].name, res->modes[m].nameLength);
      }
      if (crtc)
        tx::XRRFreeCrtcInfo(crtc);
    }
    if (res)
      tx::XRRFreeScreenResources(res);
    return name;
  }

private:
  Display* dpy_;
};

class MonitorTest : public testing::Test {
protected:
  void startXorg(std::vector<XorgDummyServer::Output> outputs) {
    XorgDummyServer::Options options;
    options.outputs = std::move(outputs);
    xorg = std::make_unique<XorgDummyServer>(options);
    client = std::make_unique<XClient>(xorg->displayName());
  }

  void startTwoMonitors() { startXorg({{"1024x768", 0, 0}, {"800x600", 1024, 0}}); }

  void launchAgent(AgentParams params = {}) {
    agent = e2e::launchAgent(xorg->displayName(), std::move(params), recorder, deadlineMs);
  }

  void startDesktop() {
    agent->send(agentmsg::Start{});
    ASSERT_TRUE(agent->waitForMsg("setPixelBuffer", deadlineMs));
    ASSERT_TRUE(agent->waitForMsg("monitorsUpdated", deadlineMs));
  }

  // Waits for the next buffer and the monitor report that follows it.
  bool nextBuffer() {
    return agent->waitForMsg("setPixelBuffer", deadlineMs) &&
           agent->waitForMsg("monitorsUpdated", deadlineMs);
  }

  bool waitForLog(const std::string& text) {
    bool found = agent->waitUntil([&] { return recorder.hasLog(text); }, deadlineMs);
    for (size_t i = 0; !found && i < recorder.logs.size(); i++)
      ADD_FAILURE() << "logged: " << recorder.logs[i];
    return found;
  }

  void TearDown() override {
    agent.reset();
    client.reset();
  }

  io::FdSelectManager manager;
  std::unique_ptr<XorgDummyServer> xorg;
  std::unique_ptr<XClient> client;
  Recorder recorder;
  std::unique_ptr<AgentProcess> agent;
};

const rfb::Rect firstMonitor(0, 0, 1024, 768);
const rfb::Rect secondMonitor(1024, 0, 1824, 600);

TEST_F(MonitorTest, TwoActiveMonitorsAreListedAndTheWholeScreenCaptured) {
  startTwoMonitors();
  launchAgent();
  startDesktop();
  EXPECT_EQ(recorder.bufferRect(), client->screenRect());
  const agentmsg::MonitorsUpdated& report = recorder.monitorReports.back();
  ASSERT_EQ(report.monitors.size(), 2u);
  EXPECT_EQ(report.monitors[0].name, "1");
  EXPECT_EQ(report.monitors[0].rect, firstMonitor);
  EXPECT_TRUE(report.monitors[0].primary);
  EXPECT_EQ(report.monitors[1].name, "2");
  EXPECT_EQ(report.monitors[1].rect, secondMonitor);
  EXPECT_FALSE(report.monitors[1].primary);
  EXPECT_EQ(report.parameterSpec, "");
  EXPECT_EQ(report.effectiveSpec, "");
}

TEST_F(MonitorTest, MonitorParameterCapturesThatMonitorOrRectangle) {
  startTwoMonitors();
  const struct {
    const char* spec;
    rfb::Rect captured;
    const char* logged;
  } cases[] = {
    {"2", secondMonitor, "Monitor 2 rect 800x600 at 1024,0"},
    {"dummy1", secondMonitor, "Monitor dummy1 rect 800x600 at 1024,0"},
    {"800x600 at 1024,0", secondMonitor, "Monitor 800x600 at 1024,0 rect 800x600 at 1024,0"},
    {"0,0 to 800,600", rfb::Rect(0, 0, 800, 600), "Monitor 0,0 to 800,600 rect 800x600 at 0,0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.spec);
    agent.reset();
    recorder = Recorder();
    launchAgent({{"Monitor", c.spec}});
    startDesktop();
    EXPECT_EQ(recorder.bufferRect(), c.captured);
    EXPECT_TRUE(waitForLog(c.logged));
    EXPECT_EQ(recorder.monitorReports.back().parameterSpec, c.spec);
    EXPECT_EQ(recorder.monitorReports.back().effectiveSpec, c.spec);
    EXPECT_EQ(recorder.monitorReports.back().monitors.size(), 2u);
  }
}

TEST_F(MonitorTest, ServerSelectionCapturesThatMonitorAndClearingItTheScreen) {
  startTwoMonitors();
  launchAgent();
  startDesktop();
  agent->send(agentmsg::SetMonitor{"2"});
  ASSERT_TRUE(nextBuffer());
  EXPECT_EQ(recorder.bufferRect(), secondMonitor);
  EXPECT_EQ(recorder.monitorReports.back().parameterSpec, "");
  EXPECT_EQ(recorder.monitorReports.back().effectiveSpec, "2");

  agent->send(agentmsg::SetMonitor{"1"});
  ASSERT_TRUE(nextBuffer());
  EXPECT_EQ(recorder.bufferRect(), firstMonitor);
  EXPECT_EQ(recorder.monitorReports.back().effectiveSpec, "1");

  agent->send(agentmsg::SetMonitor{""});
  ASSERT_TRUE(nextBuffer());
  EXPECT_EQ(recorder.bufferRect(), client->screenRect());
}

TEST_F(MonitorTest, InvalidSelectionIsLoggedAndChangesNothing) {
  startTwoMonitors();
  launchAgent();
  startDesktop();
  agent->send(agentmsg::SetMonitor{"1"});
  ASSERT_TRUE(nextBuffer());
  size_t buffers = recorder.buffers.size();
  size_t reports = recorder.monitorReports.size();

  agent->send(agentmsg::SetMonitor{"7"});
  ASSERT_TRUE(waitForLog("Invalid monitor selection: Monitor named '7' not found"));
  // Messages are handled in order: nothing was rebuilt for "7" once the
  // next selection's buffer is the only new one.
  agent->send(agentmsg::SetMonitor{"2"});
  ASSERT_TRUE(nextBuffer());
  EXPECT_EQ(recorder.buffers.size(), buffers + 1);
  EXPECT_EQ(recorder.monitorReports.size(), reports + 1);
  EXPECT_EQ(recorder.bufferRect(), secondMonitor);
}

TEST_F(MonitorTest, ValidMonitorParameterWinsOverTheSelection) {
  startTwoMonitors();
  launchAgent({{"Monitor", "2"}});
  startDesktop();
  agent->send(agentmsg::SetMonitor{"1"});
  ASSERT_TRUE(nextBuffer());
  EXPECT_EQ(recorder.bufferRect(), secondMonitor);
  EXPECT_EQ(recorder.monitorReports.back().parameterSpec, "2");
  EXPECT_EQ(recorder.monitorReports.back().effectiveSpec, "2");
}

TEST_F(MonitorTest, SetDisplayModeMakesAModeResizesTheScreenAndAnnouncesTheBuffer) {
  startXorg({{"1024x768", 0, 0}});
  launchAgent();
  ASSERT_TRUE(agent->waitUntil([&] { return !recorder.modesSupported.empty(); }, deadlineMs));
  EXPECT_TRUE(recorder.modesSupported.front());
  startDesktop();

  agent->send(agentmsg::SetDisplayMode{1000, 700});
  ASSERT_TRUE(nextBuffer());
  EXPECT_TRUE(client->hasMode("1000x700_kwo"));
  EXPECT_EQ(client->screenRect(), rfb::Rect(0, 0, 1000, 700));
  EXPECT_EQ(recorder.bufferRect(), rfb::Rect(0, 0, 1000, 700));

  // A mode the CRTC shows survives a "RandR" change that does not name it.
  agent->send(agentmsg::SetParams{{{"RandR", "1280x1024", 10}}});
  ASSERT_TRUE(agent->waitForMsg("displayModesUpdated", deadlineMs));
  EXPECT_TRUE(client->hasMode("1280x1024_kwo"));
  EXPECT_TRUE(client->hasMode("1000x700_kwo"));

  // A size the output already offers is set with that mode.
  agent->send(agentmsg::SetDisplayMode{800, 600});
  ASSERT_TRUE(nextBuffer());
  EXPECT_EQ(client->screenRect(), rfb::Rect(0, 0, 800, 600));
  EXPECT_FALSE(client->hasMode("800x600_kwo"));
  EXPECT_EQ(client->currentModeName(), "800x600");

  // A size the screen cannot take (wider than RandR's 32767) is refused;
  // the next buffer tells the server the size that stayed.
  agent->send(agentmsg::SetDisplayMode{40000, 100});
  ASSERT_TRUE(nextBuffer());
  EXPECT_EQ(recorder.bufferRect(), rfb::Rect(0, 0, 800, 600));
  // Now nothing shows the made mode: the next change removes it.
  agent->send(agentmsg::SetParams{{{"RandR", "", 10}}});
  ASSERT_TRUE(agent->waitUntil(
    [&] { return !client->hasMode("1000x700_kwo") && !client->hasMode("1280x1024_kwo"); },
    deadlineMs));
}

TEST_F(MonitorTest, ZeroWidthOrHeightChangesNothing) {
  startXorg({{"1024x768", 0, 0}});
  launchAgent();
  startDesktop();
  size_t buffers = recorder.buffers.size();
  agent->send(agentmsg::SetDisplayMode{0, 700});
  agent->send(agentmsg::SetDisplayMode{1000, 0});
  // A message answered after both proves both were handled.
  agent->send(agentmsg::SetMonitor{"9"});
  ASSERT_TRUE(waitForLog("Invalid monitor selection: Monitor named '9' not found"));
  EXPECT_EQ(client->screenRect(), rfb::Rect(0, 0, 1024, 768));
  for (const std::string& name : client->modeNames())
    EXPECT_EQ(name.find("_kwo"), std::string::npos) << name;
  EXPECT_EQ(recorder.buffers.size(), buffers);
}

TEST_F(MonitorTest, RandRParameterCreatesItsModesAndReportsOnce) {
  startXorg({{"1024x768", 0, 0}});
  launchAgent();
  agent->send(agentmsg::SetParams{{{"RandR", "1024x768,foo,1280x1024", 10}}});
  ASSERT_TRUE(agent->waitForMsg("displayModesUpdated", deadlineMs));
  EXPECT_TRUE(client->hasMode("1024x768_kwo"));
  EXPECT_TRUE(client->hasMode("1280x1024_kwo"));
  EXPECT_FALSE(client->hasMode("foo_kwo"));

  agent->send(agentmsg::SetParams{{{"RandR", "1024x768", 10}}});
  ASSERT_TRUE(agent->waitUntil([&] { return !client->hasMode("1280x1024_kwo"); }, deadlineMs));
  agent->send(agentmsg::SetMonitor{"9"});
  ASSERT_TRUE(waitForLog("Invalid monitor selection: Monitor named '9' not found"));
  EXPECT_EQ(recorder.modesUpdated, 1);
}

TEST(DisplayModesWithoutRandR, AreNotSupported) {
  testsupport::XvfbServer::Options options;
  options.disabledExtensions = {"RANDR"};
  testsupport::XvfbServer xvfb(options);
  io::FdSelectManager manager;
  Recorder recorder;
  std::unique_ptr<AgentProcess> agent =
      e2e::launchAgent(xvfb.displayName(), {}, recorder, deadlineMs);
  ASSERT_TRUE(agent->waitUntil([&] { return !recorder.modesSupported.empty(); }, deadlineMs));
  EXPECT_FALSE(recorder.modesSupported.front());
}

} // namespace
} // namespace e2e
