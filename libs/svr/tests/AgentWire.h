#pragma once

// The server's side of the agent channel, for tests: builds framed messages
// with the real framed output stream, and splits received bytes into
// messages with a small parser of its own, so that what the agent writes is
// checked against an independent reading of the frame format.

#include "base/rdr/MemInStream.h"
#include "base/rdr/MemOutStream.h"
#include "base/rdr/OutStreamV4.h"

#include <cstdint>
#include <functional>
#include <optional>
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

inline void append(Bytes& out, const Bytes& more) {
  out.insert(out.end(), more.begin(), more.end());
}

struct Message {
  std::string name;
  Bytes payload;
  int frames = 0;
};

// Takes every complete message off the front of `buffer`.
inline std::vector<Message> takeMessages(Bytes& buffer) {
  std::vector<Message> messages;
  size_t pos = 0;
  for (;;) {
    Bytes body;
    size_t at = pos;
    int frames = 0;
    bool complete = false;
    while (at + 2 <= buffer.size()) {
      unsigned header = unsigned(buffer[at]) << 8 | buffer[at + 1];
      size_t length = header & 0x7fff;
      if (at + 2 + length > buffer.size())
        break;
      body.insert(body.end(), buffer.begin() + at + 2, buffer.begin() + at + 2 + length);
      at += 2 + length;
      frames++;
      if (header & 0x8000) {
        complete = true;
        break;
      }
    }
    if (!complete || body.empty())
      break;
    Message m;
    m.name.assign(body.begin() + 1, body.begin() + 1 + body[0]);
    m.payload.assign(body.begin() + 1 + body[0], body.end());
    m.frames = frames;
    messages.push_back(std::move(m));
    pos = at;
  }
  buffer.erase(buffer.begin(), buffer.begin() + pos);
  return messages;
}

// Reads a payload field by field.
class Payload : public rdr::MemInStream {
public:
  explicit Payload(const Message& m) : rdr::MemInStream(m.payload.data(), m.payload.size()) {}
};

} // namespace svr::test
