// The agent binary against a test-side server on a private X server: the
// greeting, log forwarding, the ways it ends, and the command-line errors
// of its connection set-up.

#include "AgentTestPeer.h"

#include "base/rdr/MemInStream.h"
#include "base/rfb/PixelFormat.h"
#include "testsupport/ChildProcess.h"
#include "testsupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <csignal>
#include <memory>

namespace e2e {
namespace {

using Pipe = AgentTestPeer::Pipe;
using testsupport::ChildProcess;
using testsupport::ChildResult;
using testsupport::XvfbServer;

const std::string agent = KWO_AGENT_PATH;

struct LogMsg {
  uint32_t level;
  std::string source;
  std::string text;
};

LogMsg readLogMsg(const AgentTestPeer::Message& m) {
  rdr::MemInStream in(m.payload.data(), m.payload.size());
  LogMsg log;
  log.level = in.readU32();
  log.source = in.readString(4096);
  log.text = in.readString(4096);
  EXPECT_TRUE(in.atEnd());
  return log;
}

std::vector<LogMsg> logMsgs(const std::vector<AgentTestPeer::Message>& messages) {
  std::vector<LogMsg> logs;
  for (const auto& m : messages) {
    if (m.name == "logMsg")
      logs.push_back(readLogMsg(m));
  }
  return logs;
}

bool hasLog(const std::vector<LogMsg>& logs, const std::string& source, const std::string& text) {
  for (const LogMsg& log : logs) {
    if (log.source == source && log.text == text)
      return true;
  }
  return false;
}

int lowestBit(unsigned long mask) {
  return mask ? __builtin_ctzl(mask) : 0;
}

// The display's native format worked out here from what the X server says,
// independently of the agent's own code.
rfb::PixelFormat screenFormat(const std::string& displayName) {
  Display* dpy = XOpenDisplay(displayName.c_str());
  if (!dpy)
    throw std::runtime_error("cannot open " + displayName);
  int screen = DefaultScreen(dpy);
  const Visual* visual = DefaultVisual(dpy, screen);
  unsigned long masks[3] = {visual->red_mask, visual->green_mask, visual->blue_mask};
  int depth = DefaultDepth(dpy, screen);
  int bpp = 0;
  int count = 0;
  XPixmapFormatValues* formats = XListPixmapFormats(dpy, &count);
  for (int i = 0; i < count; i++) {
    if (formats[i].depth == depth)
      bpp = formats[i].bits_per_pixel;
  }
  XFree(formats);
  bool bigEndian = ImageByteOrder(dpy) == MSBFirst;
  XCloseDisplay(dpy);
  // The visual belongs to the closed connection: only the copies are used.
  int shifts[3];
  for (int i = 0; i < 3; i++)
    shifts[i] = lowestBit(masks[i]);
  return rfb::PixelFormat(bpp, depth, bigEndian, true, int(masks[0] >> shifts[0]),
                          int(masks[1] >> shifts[1]), int(masks[2] >> shifts[2]), 0, shifts[0],
                          shifts[1], shifts[2], 0);
}

class AgentProtocolTest : public testing::Test {
protected:
  static void SetUpTestSuite() { xvfb = new XvfbServer(); }
  static void TearDownTestSuite() {
    delete xvfb;
    xvfb = nullptr;
  }

  // Launches the agent and reads its greeting.
  void launch(Pipe pipe) {
    peer.launch(pipe);
    ASSERT_EQ(peer.receive().name, "init");
    ASSERT_EQ(peer.receive().name, "initRectAndPf");
  }

  static XvfbServer* xvfb;
  AgentTestPeer peer{xvfb->displayName()};
};

XvfbServer* AgentProtocolTest::xvfb = nullptr;

TEST_F(AgentProtocolTest, GreetingNamesTheScreenAndItsFormat) {
  struct Case {
    int width, height, depth;
  };
  for (const Case& c : {Case{1024, 768, 24}, Case{800, 600, 16}}) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << "x" << c.depth);
    XvfbServer::Options options;
    options.width = c.width;
    options.height = c.height;
    options.depth = c.depth;
    XvfbServer server(options);
    AgentTestPeer own(server.displayName());
    own.launch(Pipe::socketPath);

    AgentTestPeer::Message init = own.receive();
    EXPECT_EQ(init.name, "init");
    EXPECT_EQ(init.payload, (std::vector<uint8_t>{0x7c, 0xca, 0x9e, 0xcb}));

    AgentTestPeer::Message rectAndPf = own.receive();
    ASSERT_EQ(rectAndPf.name, "initRectAndPf");
    ASSERT_EQ(rectAndPf.payload.size(), 16u + 16u);
    rdr::MemInStream in(rectAndPf.payload.data(), rectAndPf.payload.size());
    EXPECT_EQ(in.readS32(), 0);
    EXPECT_EQ(in.readS32(), 0);
    EXPECT_EQ(in.readS32(), c.width);
    EXPECT_EQ(in.readS32(), c.height);
    rfb::PixelFormat pf;
    pf.read(in);
    rfb::PixelFormat expected = screenFormat(server.displayName());
    EXPECT_TRUE(pf == expected) << pf.print() << " != " << expected.print();

    own.disconnect();
    EXPECT_EQ(own.waitForExit(), 0);
  }
}

TEST_F(AgentProtocolTest, LogLinesWaitForTheServersLevel) {
  // The same conversation twice: log lines produced before "setLogLevel"
  // are held, then sent at once as far as the level admits. Breaking the
  // channel straight after makes the agent close, so the end of the stream
  // marks the point where everything sent has been seen.
  struct Case {
    uint32_t level;
    bool expectStatusLines;
  };
  for (const Case& c : {Case{200, true}, Case{0, false}}) {
    SCOPED_TRACE(c.level);
    AgentTestPeer own(xvfb->displayName());
    own.launch(Pipe::socketPath);
    own.receiveUntil("initRectAndPf");
    own.send("start");
    own.send("setLogLevel", [&](rdr::OutStream& out) { out.writeU32(c.level); });
    own.sendChannelBreaker();
    std::vector<LogMsg> logs = logMsgs(own.receiveUntilClosed());
    EXPECT_EQ(hasLog(logs, "SServerAgent", "Starting desktop"), c.expectStatusLines);
    EXPECT_EQ(hasLog(logs, "SDesktopX11", "Desktop started (1024x768 at 0,0)"),
              c.expectStatusLines);
    for (const LogMsg& log : logs)
      EXPECT_LE(log.level, c.level) << log.source << ": " << log.text;
    EXPECT_EQ(own.waitForExit(), 0);
  }
}

TEST_F(AgentProtocolTest, StatusLinesCarryLevelSourceAndText) {
  launch(Pipe::socketPath);
  peer.send("setLogLevel", [](rdr::OutStream& out) { out.writeU32(100); });
  peer.send("start");
  LogMsg log;
  do {
    log = readLogMsg(peer.receiveUntil("logMsg"));
  } while (log.text != "Starting desktop");
  EXPECT_EQ(log.level, 30u);
  EXPECT_EQ(log.source, "SServerAgent");
  peer.disconnect();
  EXPECT_EQ(peer.waitForExit(), 0);
}

TEST_F(AgentProtocolTest, ServerDisconnectEndsTheAgentWithStatusZero) {
  launch(Pipe::socketPath);
  peer.send("start");
  peer.disconnect();
  EXPECT_EQ(peer.waitForExit(), 0);
}

TEST_F(AgentProtocolTest, SigtermAndSigintEndTheAgentWithStatusZero) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    AgentTestPeer own(xvfb->displayName());
    own.launch(Pipe::socketPath);
    own.receiveUntil("initRectAndPf");
    own.send("start");
    own.signal(signal);
    EXPECT_EQ(own.waitForExit(), 0);
  }
}

TEST_F(AgentProtocolTest, WrongHashIsRefused) {
  peer.launch(Pipe::socketPath, true);
  EXPECT_EQ(peer.waitForExit(), 1);
}

TEST_F(AgentProtocolTest, InheritedDescriptorAndStandardInputServeAsTheChannel) {
  for (Pipe pipe : {Pipe::descriptor, Pipe::dummy}) {
    SCOPED_TRACE(pipe == Pipe::dummy ? "-dummy" : "descriptor number");
    AgentTestPeer own(xvfb->displayName());
    own.launch(pipe);
    AgentTestPeer::Message init = own.receive();
    EXPECT_EQ(init.name, "init");
    EXPECT_EQ(init.payload, (std::vector<uint8_t>{0x7c, 0xca, 0x9e, 0xcb}));
    EXPECT_EQ(own.receive().name, "initRectAndPf");
    own.disconnect();
    EXPECT_EQ(own.waitForExit(), 0);
  }
}

TEST_F(AgentProtocolTest, ParameterSettingsAfterThePipeNameAreApplied) {
  // A bad setting ends start-up with status 1 (the text goes to standard
  // error, which a descriptor connection leaves alone); a good one lets the
  // agent run.
  AgentTestPeer bad(xvfb->displayName());
  bad.launch(Pipe::descriptor, false, {"NoSuchParameter=1"});
  EXPECT_EQ(bad.waitForExit(), 1);
  EXPECT_NE(bad.stderrText().find("NoSuchParameter"), std::string::npos) << bad.stderrText();

  AgentTestPeer good(xvfb->displayName());
  good.launch(Pipe::descriptor, false, {"EnableClipboard=1"});
  EXPECT_EQ(good.receive().name, "init");
  good.disconnect();
  EXPECT_EQ(good.waitForExit(), 0);
}

TEST(AgentCommandLine, PipeArgumentErrorsAreReportedOnStandardError) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Case> cases = {
    {{agent, "user"}, "Bad command-line: got <null> instead of pipe name\n"},
    {{agent, "service", "-x"}, "Bad command-line: got -x instead of pipe name\n"},
    {{agent, "virtual", "-hash", "abc", "/tmp/none"}, "-hash argument bad or missing\n"},
    {{agent, "user", "-hash"}, "-hash argument bad or missing\n"},
    {{agent, "user", "-lppDebug"}, "Bad command-line: got <null> instead of pipe name\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    ChildResult result = ChildProcess::run(c.args);
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, "");
  }
}

} // namespace
} // namespace e2e
