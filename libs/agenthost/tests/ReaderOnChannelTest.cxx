#include "base/io/FdIo.h"
#include "base/io/FdSelectManager.h"
#include "libs/agenthost/FromAgentReader.h"
#include "libs/agentmsg/MsgWriter.h"
#include "libs/agenthost/ToAgentReader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <sys/socket.h>

namespace agenthost::test {

using namespace agentmsg;

namespace {

// A server channel and an agent channel joined by a socket pair, each with
// the reader of what the other side sends.
class ReaderOnChannelTest : public testing::Test,
                            public io::MsgIpc::Callback,
                            public FromAgentHandler,
                            public ToAgentHandler {
protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    server.accept(std::make_unique<io::FdIo>(fds[0]));
    agent.accept(std::make_unique<io::FdIo>(fds[1]));
    fromAgent.addHandler(static_cast<FromAgentHandler&>(*this));
    toAgent.addHandler(static_cast<ToAgentHandler&>(*this));
  }

  bool pumpUntil(const std::function<bool()>& condition) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
      if (std::chrono::steady_clock::now() > end)
        return false;
      manager.processEvents(50);
    }
    return true;
  }

  void ipcClosed(io::MsgIpc&) override { closed++; }
  void fbUpdate(const FbUpdate& msg) override { updates.push_back(msg); }
  void logMsg(const LogMsg& msg) override { logs.push_back(msg.text); }
  void setParams(const SetParams& msg) override { params.push_back(msg); }
  void keyEvent(const KeyEvent& msg) override { keys.push_back(msg); }

  io::FdSelectManager manager;
  io::MsgIpc server{*this, "Server"};
  io::MsgIpc agent{*this, "Agent"};
  FromAgentReader fromAgent{server};
  ToAgentReader toAgent{agent};
  int closed = 0;
  std::vector<FbUpdate> updates;
  std::vector<std::string> logs;
  std::vector<SetParams> params;
  std::vector<KeyEvent> keys;
};

TEST_F(ReaderOnChannelTest, LargeMessagesReachTheHandlersWholeAndInOrder) {
  std::mt19937 rng(12);
  std::vector<rfb::Rect> rects;
  for (int i = 0; i < 20000; i++) {
    int x = int(rng() % 30000), y = int(rng() % 30000);
    rects.push_back(rfb::Rect(x, y, x + 3, y + 2));
  }
  FbUpdate update{rfb::Region(rfb::Rect(0, 0, 10, 10)), 4, 5, rfb::Region(rects)};
  sendMsg(agent, LogMsg{30, "A", "before"});
  sendMsg(agent, update);
  sendMsg(agent, LogMsg{30, "A", "after"});
  ASSERT_TRUE(pumpUntil([&] { return logs.size() == 2; }));
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0], update);
  EXPECT_EQ(logs, (std::vector<std::string>{"before", "after"}));
  EXPECT_EQ(fromAgent.received("fbUpdate"), 1u);
  EXPECT_EQ(fromAgent.received("logMsg"), 2u);
  EXPECT_EQ(closed, 0);
}

TEST_F(ReaderOnChannelTest, ServerMessagesReachTheAgentSide) {
  SetParams set{{{"PollInterval", "20", 10}, {"UseXFixes", "0", 30}}};
  sendMsg(server, set);
  sendMsg(server, KeyEvent{0x61, false});
  ASSERT_TRUE(pumpUntil([&] { return keys.size() == 1; }));
  ASSERT_EQ(params.size(), 1u);
  EXPECT_EQ(params[0], set);
  EXPECT_EQ(keys[0], (KeyEvent{0x61, false}));
}

TEST_F(ReaderOnChannelTest, RefusedPayloadClosesTheChannel) {
  rdr::FramedOutStream& out = agent.writeMsg("init");
  out.writeU32(0x01020304);
  out.endMsg(true);
  ASSERT_TRUE(pumpUntil([&] { return closed > 0; }));
  EXPECT_EQ(fromAgent.received("init"), 0u);
}

TEST_F(ReaderOnChannelTest, HandlerMayRemoveItselfWhileCalled) {
  struct Once : FromAgentHandler {
    FromAgentReader* reader = nullptr;
    int calls = 0;
    void bell(const Bell&) override {
      calls++;
      reader->removeHandler(*this);
    }
  } once;
  once.reader = &fromAgent;
  fromAgent.addHandler(once);
  sendMsg(agent, Bell{});
  sendMsg(agent, Bell{});
  ASSERT_TRUE(pumpUntil([&] { return fromAgent.received("bell") == 2; }));
  EXPECT_EQ(once.calls, 1);
}

} // namespace
} // namespace agenthost::test
