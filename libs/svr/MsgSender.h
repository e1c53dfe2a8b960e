#pragma once

// Sends one message on the channel to the server for components whose
// messages must not disturb the loop: a plat::Exception while writing
// (message not allowed, connection failure) is logged at level 30 through
// the caller's log source and dropped, and a message left half-written is
// ended so that the next one starts clean.

#include <functional>

namespace io {
class MsgIpc;
}
namespace plat {
class LogSrc;
}
namespace rdr {
class OutStream;
}

namespace svr {

class MsgSender {
public:
  MsgSender() = delete;

  // Writes `name`, then whatever `payload` (may be empty) writes, and ends
  // the message with a flush. True when it was sent.
  static bool send(io::MsgIpc& channel, const char* name,
                   const std::function<void(rdr::OutStream&)>& payload, plat::LogSrc& log);
};

} // namespace svr
