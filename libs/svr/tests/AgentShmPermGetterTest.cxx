#include "libs/svr/tests/RandrTestSupport.h"

#include "libs/agentmsg/ToAgentMsgs.h"
#include "libs/svr/AgentShmPermGetter.h"

#include <cstdint>
#include <iterator>
#include <vector>

namespace {

using svr::test::Bytes;

Bytes ownerMsg(uint64_t uid, uint64_t gid) {
  return svr::test::wire(agentmsg::SetXServerOwner{uid, gid});
}

TEST(AgentShmPermGetter, KeepsTheLow32BitsOfUidAndGidFromWholeMessagesAndAllOnesMeansNoOwner) {
  svrtest::ChannelPeer server;
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
  // Each message arrives in two pieces, cut at another place each time.
  const size_t size = ownerMsg(0, 0).size();
  for (size_t cut = 1; cut < size; cut++) {
    SCOPED_TRACE(cut);
    const Case& c = cases[cut % std::size(cases)];
    const Bytes wire = ownerMsg(c.uid, c.gid);
    // Nothing is stored from a part of the message.
    const uid_t before = getter.record().uid;
    server.send(Bytes(wire.begin(), wire.begin() + long(cut)));
    EXPECT_EQ(before, getter.record().uid);
    server.send(Bytes(wire.begin() + long(cut), wire.end()));
    EXPECT_EQ(c.wantUid, getter.record().uid);
    EXPECT_EQ(c.wantGid, getter.record().gid);
    EXPECT_EQ(0600u, getter.record().mode);
    EXPECT_EQ(c.wantUid == 0xffffffff, getter.perm() == nullptr);
  }
  EXPECT_EQ(0, server.closed);

  // One without the gid closes the channel.
  Bytes wire = ownerMsg(1000, 100);
  wire.resize(wire.size() - 8);
  wire[1] -= 8;
  server.send(wire);
  EXPECT_EQ(1, server.closed);
}

} // namespace
