#pragma once

// The server's side of the agent channel, for tests: messages built with the
// shared records (or raw, for payloads no record would write), received
// bytes split into messages by a small frame parser of its own, and payloads
// decoded with the shared records.

#include "base/rdr/MemInStream.h"
#include "base/rdr/MemOutStream.h"
#include "base/rdr/OutStreamV4.h"
#include "libs/agentmsg/MsgWriter.h"
#include "libs/agentmsg/ParseState.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace svr::test {

using Bytes = std::vector<uint8_t>;

// A whole message on the wire: name, then whatever `payload` writes.
inline Bytes message(const std::string& name,
                     const std::function<void(rdr::OutStream&)>& payload = {}) {
  rdr::MemOutStream wire;
  rdr::OutStreamV4 framed(&wire);
  framed.startMsg();
  framed.writeShortString(name);
  if (payload)
    payload(framed);
  framed.endMsg(true);
  return wire.takeData();
}

template <class Msg>
Bytes wire(const Msg& msg) {
  rdr::MemOutStream mem;
  rdr::OutStreamV4 out(&mem);
  agentmsg::writeMsg(out, msg, true);
  return mem.takeData();
}

struct Message {
  std::string name;
  Bytes payload;
};

// Takes every complete message off the front of `buffer`.
inline std::vector<Message> takeMessages(Bytes& buffer) {
  std::vector<Message> messages;
  size_t pos = 0;
  for (;;) {
    Bytes body;
    size_t at = pos;
    bool complete = false;
    while (!complete && at + 2 <= buffer.size()) {
      unsigned header = unsigned(buffer[at]) << 8 | buffer[at + 1];
      size_t length = header & 0x7fff;
      if (at + 2 + length > buffer.size())
        break;
      body.insert(body.end(), buffer.begin() + at + 2, buffer.begin() + at + 2 + length);
      at += 2 + length;
      complete = header & 0x8000;
    }
    if (!complete || body.empty())
      break;
    messages.push_back({std::string(body.begin() + 1, body.begin() + 1 + body[0]),
                        Bytes(body.begin() + 1 + body[0], body.end())});
    pos = at;
  }
  buffer.erase(buffer.begin(), buffer.begin() + pos);
  return messages;
}

// The payload of `m` read by its record, which must take all of it.
template <class Msg>
Msg decode(const Message& m) {
  EXPECT_EQ(m.name, Msg::name);
  rdr::MemInStream in(m.payload.data(), m.payload.size());
  Msg msg;
  agentmsg::ParseState state;
  msg.read(in, state);
  EXPECT_TRUE(in.atEnd()) << m.name;
  return msg;
}

} // namespace svr::test
