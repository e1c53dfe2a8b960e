#include "libs/svr/AgentShmPermGetter.h"

#include "base/io/FdIo.h"
#include "base/io/FdSelectManager.h"
#include "base/io/MsgIpc.h"
#include "base/io/UniqueFd.h"
#include "base/plat/Exception.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void appendBE(Bytes& out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; i--)
    out.push_back(uint8_t(value >> (8 * i)));
}

// The body of "SetXServerOwner": the name as a short string, U64 uid, U64 gid.
Bytes ownerBody(uint64_t uid, uint64_t gid) {
  std::string name = "SetXServerOwner";
  Bytes body{uint8_t(name.size())};
  body.insert(body.end(), name.begin(), name.end());
  appendBE(body, uid, 8);
  appendBE(body, gid, 8);
  return body;
}

// The body in frames that end at the given offsets (the last one marked).
Bytes framed(const Bytes& body, std::vector<size_t> cuts = {}) {
  cuts.push_back(body.size());
  Bytes wire;
  size_t start = 0;
  for (size_t i = 0; i < cuts.size(); i++) {
    size_t length = cuts[i] - start;
    appendBE(wire, (i + 1 == cuts.size() ? 0x8000 : 0) | length, 2);
    wire.insert(wire.end(), body.begin() + long(start), body.begin() + long(cuts[i]));
    start = cuts[i];
  }
  return wire;
}

// Counts the calls of the reader, to show that a cut message is read again.
class CountingGetter : public svr::AgentShmPermGetter {
public:
  using AgentShmPermGetter::AgentShmPermGetter;
  bool readMsg(const std::string& name, rdr::FramedInStream& in, io::MsgIpc& channel) override {
    calls++;
    return AgentShmPermGetter::readMsg(name, in, channel);
  }
  int calls = 0;
};

class AgentShmPermGetterTest : public ::testing::Test, public io::MsgIpc::Callback {
protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    peer.reset(fds[1]);
    channel.accept(std::make_unique<io::FdIo>(fds[0]));
  }

  void send(const Bytes& bytes, size_t from, size_t to) {
    ASSERT_EQ(ssize_t(to - from), write(peer.get(), bytes.data() + from, to - from));
    // Bytes written to a socket pair are readable at once, so passes run
    // until nothing is left to read: the channel has seen all of them.
    while (manager.processEvents(0)) {
    }
  }
  void send(const Bytes& bytes) { send(bytes, 0, bytes.size()); }

  void ipcClosed(io::MsgIpc&) override { closed++; }

  int closed = 0;
  io::FdSelectManager manager;
  io::UniqueFd peer;
  io::MsgIpc channel{*this, "Server"};
};

TEST_F(AgentShmPermGetterTest, StartsWithoutAnOwner) {
  svr::AgentShmPermGetter getter(channel);
  EXPECT_EQ(nullptr, getter.perm());
  const ipc_perm& record = getter.record();
  EXPECT_EQ(uid_t(-1), record.uid);
  EXPECT_EQ(gid_t(-1), record.gid);
  EXPECT_EQ(0600u, record.mode);
  EXPECT_EQ(0u, record.cuid);
  EXPECT_EQ(0u, record.cgid);
  EXPECT_EQ(0, record.__key);
  EXPECT_EQ(1u, channel.readerCount());
}

TEST_F(AgentShmPermGetterTest, KeepsTheLow32BitsOfUidAndGid) {
  struct Case {
    uint64_t uid, gid;
    uint32_t wantUid, wantGid;
  };
  const Case cases[] = {{1000, 100, 1000, 100},
                        {0, 0, 0, 0},
                        {0x1234567800000000ull | 1001, 0xffffffff00000005ull, 1001, 5},
                        {0xfffffffeull, 0x100000000ull, 0xfffffffe, 0}};
  svr::AgentShmPermGetter getter(channel);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.uid);
    send(framed(ownerBody(c.uid, c.gid)));
    ASSERT_NE(nullptr, getter.perm());
    EXPECT_EQ(c.wantUid, getter.perm()->uid);
    EXPECT_EQ(c.wantGid, getter.perm()->gid);
    EXPECT_EQ(0600u, getter.perm()->mode);
  }
  EXPECT_EQ(0, closed);
}

TEST_F(AgentShmPermGetterTest, UidOfAllOnesStillMeansNoOwner) {
  svr::AgentShmPermGetter getter(channel);
  send(framed(ownerBody(0xffffffffull, 7)));
  EXPECT_EQ(nullptr, getter.perm());
  EXPECT_EQ(7u, getter.record().gid);
}

TEST_F(AgentShmPermGetterTest, MessageArrivingInTwoPiecesIsReadWhole) {
  CountingGetter getter(channel);
  Bytes body = ownerBody(0, 0);
  size_t payloadStart = body.size() - 16;
  for (size_t cut = 1; cut < framed(body).size(); cut++) {
    SCOPED_TRACE(cut);
    uint32_t uid = uint32_t(2000 + cut), gid = uint32_t(3000 + cut);
    Bytes wire = framed(ownerBody(uid, gid));
    getter.calls = 0;
    uid_t before = getter.record().uid;
    send(wire, 0, cut);
    // Nothing is stored from a part of the message.
    EXPECT_EQ(before, getter.record().uid);
    send(wire, cut, wire.size());
    ASSERT_NE(nullptr, getter.perm());
    EXPECT_EQ(uid, getter.perm()->uid);
    EXPECT_EQ(gid, getter.perm()->gid);
    // Cut after the name, the reader ran once without the numbers and once
    // with them.
    EXPECT_EQ(cut >= 2 + payloadStart ? 2 : 1, getter.calls);
  }
  EXPECT_EQ(0, closed);
}

TEST_F(AgentShmPermGetterTest, NumbersSpreadOverFramesAreReadWhole) {
  svr::AgentShmPermGetter getter(channel);
  Bytes body = ownerBody(0, 0);
  for (size_t cut = 1; cut < body.size(); cut++) {
    SCOPED_TRACE(cut);
    send(framed(ownerBody(4000 + cut, 5000 + cut), {cut}));
    ASSERT_NE(nullptr, getter.perm());
    EXPECT_EQ(4000 + cut, getter.perm()->uid);
    EXPECT_EQ(5000 + cut, getter.perm()->gid);
  }
  EXPECT_EQ(0, closed);
}

TEST_F(AgentShmPermGetterTest, MessageWithoutTheGidClosesTheChannel) {
  svr::AgentShmPermGetter getter(channel);
  Bytes body = ownerBody(1000, 100);
  body.resize(body.size() - 8);
  send(framed(body));
  EXPECT_EQ(1, closed);
  EXPECT_EQ(nullptr, getter.perm());
}

TEST_F(AgentShmPermGetterTest, UnregistersWhenDestroyed) {
  {
    svr::AgentShmPermGetter getter(channel);
    EXPECT_EQ(1u, channel.readerCount());
  }
  EXPECT_EQ(0u, channel.readerCount());
}

} // namespace
