#pragma once

// Writing whole messages: the name, then the record's payload (see
// ToAgentMsgs.h and FromAgentMsgs.h). Both ends send through these.

#include "base/io/MsgIpc.h"
#include "base/plat/Exception.h"
#include "base/rdr/FramedOutStream.h"

namespace agentmsg {

// Writes the payload of the message `os` has open and ends it. A message
// that fails half-way is ended short on the wire, so that the next one
// starts cleanly, and the failure is rethrown.
template <class Msg>
void writePayload(rdr::FramedOutStream& os, const Msg& msg, bool flush) {
  try {
    msg.write(os);
    os.endMsg(flush);
  } catch (...) {
    try {
      os.abandonMsg();
    } catch (const plat::Exception&) {
      // The stream is broken: the first failure is the one to report.
    }
    throw;
  }
}

// Sends `msg` on the channel, ended with a flush unless told otherwise.
// Throws what writeMsg throws (a message the owner forbids) and what the
// record's writer throws for values it cannot send (see writePayload).
// While the channel is unconnected the bytes are discarded.
template <class Msg>
void sendMsg(io::MsgIpc& channel, const Msg& msg, bool flush = true) {
  // Values the peer would refuse are caught before the name goes out, so
  // that a refusal leaves nothing on the wire.
  if constexpr (requires { msg.check(); })
    msg.check();
  writePayload(channel.writeMsg(Msg::name), msg, flush);
}

// The same on a bare framed stream (no channel), for tests and tools.
template <class Msg>
void writeMsg(rdr::FramedOutStream& os, const Msg& msg, bool flush = false) {
  if constexpr (requires { msg.check(); })
    msg.check();
  os.startMsg();
  os.writeShortString(Msg::name);
  writePayload(os, msg, flush);
}

} // namespace agentmsg
