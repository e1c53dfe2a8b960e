#pragma once

// Message bytes for the round-trip tests: what the writer puts on the wire,
// and a reader that gets those bytes a few at a time, like a socket that
// delivers them in pieces.

#include "base/rdr/BlockException.h"
#include "base/rdr/InStreamV4.h"
#include "base/rdr/MemOutStream.h"
#include "base/rdr/OutStreamV4.h"
#include "libs/agentmsg/MsgWriter.h"
#include "libs/agentmsg/ParseState.h"
#include "testsupport/ArrivingInStream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace agenthost::test {

using namespace agentmsg;

template <class Msg>
std::vector<uint8_t> framed(const Msg& msg) {
  rdr::MemOutStream mem;
  rdr::OutStreamV4 out(&mem);
  writeMsg(out, msg);
  return mem.takeData();
}

// Reads one message as a channel would: name, then the resumable payload
// read, restarted from the last checkpoint whenever the bytes run out;
// `step` more bytes arrive each time. Fails the test when the name differs,
// data is left over or the read never completes.
template <class Msg>
Msg readArriving(const std::vector<uint8_t>& wire, size_t step) {
  testsupport::ArrivingInStream source(wire);
  rdr::InStreamV4 in(&source);
  Msg msg;
  ParseState state;
  bool named = false;
  for (size_t rounds = 0; rounds <= wire.size() + 1; rounds++) {
    try {
      if (!in.startMsg(false)) {
        source.arrive(step);
        continue;
      }
      if (!named) {
        EXPECT_EQ(in.readShortString(), Msg::name);
        in.checkpoint();
        named = true;
      }
      msg.read(in, state);
      in.endMsg();
      return msg;
    } catch (rdr::BlockException&) {
      EXPECT_FALSE(source.allArrived()) << "blocked with every byte there";
      source.arrive(step);
    }
  }
  ADD_FAILURE() << Msg::name << " never completed";
  return msg;
}

} // namespace agenthost::test
