#include "libs/svr/tests/RandrTestSupport.h"

#include "libs/svr/AgentShmPermGetter.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

using svr::test::Bytes;

void appendBE(Bytes& out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; i--)
    out.push_back(uint8_t(value >> (8 * i)));
}

// "SetXServerOwner" with U64 uid and gid, in frames that end at the given
// offsets of the body (the last one marked).
Bytes ownerMsg(uint64_t uid, uint64_t gid, std::vector<size_t> cuts = {}) {
  const std::string name = "SetXServerOwner";
  Bytes body{uint8_t(name.size())};
  body.insert(body.end(), name.begin(), name.end());
  appendBE(body, uid, 8);
  appendBE(body, gid, 8);
  cuts.push_back(body.size());
  Bytes wire;
  size_t start = 0;
  for (size_t i = 0; i < cuts.size(); i++) {
    appendBE(wire, (i + 1 == cuts.size() ? 0x8000 : 0) | (cuts[i] - start), 2);
    wire.insert(wire.end(), body.begin() + long(start), body.begin() + long(cuts[i]));
    start = cuts[i];
  }
  return wire;
}

TEST(AgentShmPermGetter, KeepsTheLow32BitsOfUidAndGidAndAllOnesMeansNoOwner) {
  svrtest::ChannelPeer server;
  {
    svr::AgentShmPermGetter getter(server.channel);
    EXPECT_EQ(nullptr, getter.perm());
    EXPECT_EQ(1u, server.channel.readerCount());
    struct Case {
      uint64_t uid, gid;
      uint32_t wantUid, wantGid;
    };
    const Case cases[] = {{1000, 100, 1000, 100},
                          {0, 0, 0, 0},
                          {0x1234567800000000ull | 1001, 0xffffffff00000005ull, 1001, 5},
                          {0xfffffffeull, 0x100000000ull, 0xfffffffe, 0},
                          {0xffffffffull, 7, 0xffffffff, 7}};
    for (const Case& c : cases) {
      SCOPED_TRACE(c.uid);
      server.send(ownerMsg(c.uid, c.gid));
      EXPECT_EQ(c.wantUid, getter.record().uid);
      EXPECT_EQ(c.wantGid, getter.record().gid);
      EXPECT_EQ(0600u, getter.record().mode);
      EXPECT_EQ(c.wantUid == 0xffffffff, getter.perm() == nullptr);
    }
  }
  EXPECT_EQ(0u, server.channel.readerCount());
  EXPECT_EQ(0, server.closed);
}

TEST(AgentShmPermGetter, AMessageInPiecesOrFramesIsReadWhole) {
  svrtest::ChannelPeer server;
  svr::AgentShmPermGetter getter(server.channel);
  const size_t bodySize = ownerMsg(0, 0).size() - 2;
  for (size_t cut = 1; cut < bodySize; cut++) {
    SCOPED_TRACE(cut);
    // Nothing is stored from a part of the message.
    Bytes wire = ownerMsg(2000 + cut, 3000 + cut);
    const uid_t before = getter.record().uid;
    server.send(Bytes(wire.begin(), wire.begin() + long(cut)));
    EXPECT_EQ(before, getter.record().uid);
    server.send(Bytes(wire.begin() + long(cut), wire.end()));
    EXPECT_EQ(2000 + cut, getter.record().uid);
    EXPECT_EQ(3000 + cut, getter.record().gid);

    server.send(ownerMsg(4000 + cut, 5000 + cut, {cut}));
    EXPECT_EQ(4000 + cut, getter.record().uid);
    EXPECT_EQ(5000 + cut, getter.record().gid);
  }
  EXPECT_EQ(0, server.closed);
}

TEST(AgentShmPermGetter, MessageWithoutTheGidClosesTheChannel) {
  svrtest::ChannelPeer server;
  svr::AgentShmPermGetter getter(server.channel);
  Bytes wire = ownerMsg(1000, 100);
  wire.resize(wire.size() - 8);
  wire[1] -= 8;
  server.send(wire);
  EXPECT_EQ(1, server.closed);
  EXPECT_EQ(nullptr, getter.perm());
}

} // namespace
