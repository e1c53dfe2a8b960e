#pragma once

// Sends one message on the channel to the server for components whose
// messages must not disturb the loop: a plat::Exception while writing
// (message not allowed, value the server would refuse, connection failure)
// is logged at level 30 through the caller's log source and dropped; a
// message left half-written is ended so that the next one starts clean
// (see agentmsg::sendMsg).

#include "base/plat/Exception.h"
#include "base/plat/LogSrc.h"
#include "libs/agentmsg/MsgWriter.h"

namespace svr {

class MsgSender {
public:
  MsgSender() = delete;

  // True when `msg` was sent.
  template <class Msg>
  static bool send(io::MsgIpc& channel, const Msg& msg, plat::LogSrc& log, bool flush = true) {
    try {
      agentmsg::sendMsg(channel, msg, flush);
      return true;
    } catch (const plat::Exception& e) {
      log.status("%s", e.str());
      return false;
    }
  }
};

} // namespace svr
