#include "base/io/FdKicker.h"
#include "base/io/FdKickerCallback.h"
#include "base/io/FdSelectManager.h"
#include "base/io/PipeKicker.h"
#include "base/plat/Kickee.h"
#include "base/rdr/InStream.h"

#include <gtest/gtest.h>

#include <vector>

namespace io {
namespace {

class ByteCollector : public FdKickerCallback {
public:
  std::vector<int> bytes;
  int calls = 0;
  void kicked(FdKicker&, rdr::InStream& in) override {
    calls++;
    for (;; in.checkpoint())
      bytes.push_back(in.readU8());
  }
};

class CountingKickee : public plat::Kickee {
public:
  int calls = 0;
  void kicked(plat::Kicker&) override { calls++; }
};

TEST(FdKickerTest, KickedBytesReachTheCallbackInOrderInOnePass) {
  FdSelectManager manager;
  ByteCollector collector;
  FdKicker kicker(collector);
  errno = ENOENT;
  kicker.kick(1);
  EXPECT_EQ(errno, ENOENT) << "a kick keeps errno";
  kicker.kick(15);
  kicker.kick(2);
  manager.processEvents(10000);
  EXPECT_EQ(collector.bytes, (std::vector<int>{1, 15, 2}));
  EXPECT_EQ(collector.calls, 1);
}

TEST(PipeKickerTest, ManyKicksBeforeAPassGiveOneCallAndAnEmptyPipe) {
  FdSelectManager manager;
  CountingKickee kickee;
  PipeKicker kicker(kickee);
  // More than one drain chunk and more than one input buffer.
  for (int i = 0; i < 40000; i++)
    kicker.kick();
  manager.processEvents(10000);
  EXPECT_EQ(kickee.calls, 1);
  EXPECT_FALSE(manager.processEvents(0));
  kicker.kick();
  manager.processEvents(10000);
  EXPECT_EQ(kickee.calls, 2) << "a kick after the call gives another call";
}

} // namespace
} // namespace io
