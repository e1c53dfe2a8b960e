#pragma once

// Writing whole messages: the name, then the record's payload (see
// ToAgentMsgs.h and FromAgentMsgs.h).

#include "base/io/MsgIpc.h"
#include "base/rdr/FramedOutStream.h"

namespace agenthost {

// Sends `msg` on the channel, ended with a flush unless told otherwise.
// Throws what writeMsg throws (a message the owner forbids) and what the
// record's writer throws for values it cannot send; a message that failed
// half-way is ended short on the wire so that the next one starts cleanly.
// While the channel is unconnected the bytes are discarded.
template <class Msg>
void sendMsg(io::MsgIpc& channel, const Msg& msg, bool flush = true) {
  // Values the peer would refuse are caught before the name goes out, so
  // that a refusal leaves nothing on the wire.
  if constexpr (requires { msg.check(); })
    msg.check();
  rdr::FramedOutStream& os = channel.writeMsg(Msg::name);
  try {
    msg.write(os);
  } catch (...) {
    os.abandonMsg();
    throw;
  }
  os.endMsg(flush);
}

// The same on a bare framed stream (no channel), for tests and tools.
template <class Msg>
void writeMsg(rdr::FramedOutStream& os, const Msg& msg, bool flush = false) {
  if constexpr (requires { msg.check(); })
    msg.check();
  os.startMsg();
  os.writeShortString(Msg::name);
  try {
    msg.write(os);
  } catch (...) {
    os.abandonMsg();
    throw;
  }
  os.endMsg(flush);
}

} // namespace agenthost
