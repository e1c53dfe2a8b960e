#include "libs/svr/AgentDisplayMode.h"

#include "libs/svr/MsgSender.h"

#include "libs/agentmsg/FromAgentMsgs.h"
#include "libs/agentmsg/ToAgentMsgs.h"

#include "base/plat/LogSrc.h"
#include "base/rdr/BlockException.h"
#include "base/rdr/FramedInStream.h"

#include <climits>

namespace svr {

namespace {

plat::LogSrc vlog("AgentDisplayMode");

int asSize(uint32_t value) {
  return value > uint32_t(INT_MAX) ? 0 : int(value);
}

} // namespace

AgentDisplayMode::AgentDisplayMode(io::MsgIpc& channel, DisplayChangeCallback& display)
  : channel_(channel), display_(display), displayMode_(this) {
  channel_.registerReader(agentmsg::SetDisplayMode::name, *this);
  MsgSender::send(channel_, agentmsg::DisplayModesSupported{displayMode_.isSupported()}, vlog);
}

void AgentDisplayMode::displayModesUpdated() {
  if (updateSent_)
    return;
  MsgSender::send(channel_, agentmsg::DisplayModesUpdated{}, vlog);
  updateSent_ = true;
}

bool AgentDisplayMode::readMsg(const std::string&, rdr::FramedInStream& in, io::MsgIpc&) {
  agentmsg::SetDisplayMode msg;
  try {
    msg = agentmsg::readFixed<agentmsg::SetDisplayMode>(in);
  } catch (const rdr::BlockException&) {
    return false;
  }
  const int w = asSize(msg.width);
  const int h = asSize(msg.height);
  displayMode_.setDisplayMode(w, h);
  // Whatever the outcome, the buffer the server gets next says which size
  // the screen has.
  if (w > 0 && h > 0 && displayMode_.isSupported())
    display_.displayChanged();
  return true;
}

} // namespace svr
