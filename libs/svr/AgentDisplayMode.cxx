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

AgentDisplayMode::AgentDisplayMode(io::MsgIpc& channel, DisplayChangeCallback& display)
  : channel_(channel), display_(display), displayMode_(this) {
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
  const int w = asSize(width);
  const int h = asSize(height);
  displayMode_.setDisplayMode(w, h);
  // Whatever the outcome, the buffer the server gets next says which size
  // the screen has.
  if (w > 0 && h > 0 && displayMode_.isSupported())
    display_.displayChanged();
  return true;
}

} // namespace svr
