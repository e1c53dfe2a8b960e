#include "libs/svr/AgentDisplayMode.h"

#include "libs/svr/MsgSender.h"

#include "base/plat/LogSrc.h"
#include "base/rdr/BlockException.h"
#include "base/rdr/FramedInStream.h"
#include "base/rdr/OutStream.h"

#include <climits>

namespace svr {

namespace {

plat::LogSrc vlog("AgentDisplayMode");

int asSize(uint32_t value) {
  return value > uint32_t(INT_MAX) ? 0 : int(value);
}

} // namespace

AgentDisplayMode::AgentDisplayMode(io::MsgIpc& channel)
  : channel_(channel), displayMode_(this) {
  channel_.registerReader(std::string(setDisplayModeMsg), *this);
  bool supported = displayMode_.isSupported();
  MsgSender::send(
    channel_, "displayModesSupported",
    [supported](rdr::OutStream& out) { out.writeU8(supported ? 1 : 0); }, vlog);
}

void AgentDisplayMode::displayModesUpdated() {
  if (updateSent_)
    return;
  MsgSender::send(channel_, "displayModesUpdated", {}, vlog);
  updateSent_ = true;
}

bool AgentDisplayMode::readMsg(const std::string&, rdr::FramedInStream& in, io::MsgIpc&) {
  uint32_t width, height;
  try {
    width = in.readU32();
    height = in.readU32();
  } catch (const rdr::BlockException&) {
    return false;
  }
  displayMode_.setDisplayMode(asSize(width), asSize(height));
  return true;
}

} // namespace svr
