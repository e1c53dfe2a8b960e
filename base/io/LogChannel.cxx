#include "base/io/LogChannel.h"

#include "base/io/PipeKicker.h"

namespace io {

LogChannel::LogChannel(MsgIpc& channel, plat::LogDestIpc& dest) : channel_(channel), dest_(dest) {}

LogChannel::~LogChannel() {
  detach();
}

void LogChannel::attach() {
  channel_.registerReader("setLogLevel", *this);
  dest_.setChannel(this);
  attached_ = true;
}

void LogChannel::detach() {
  if (!attached_)
    return;
  // The loop that would send what is still queued may never run again (the
  // agent is ending): these are the last lines the peer can get.
  if (channel_.connected())
    dest_.sendQueued();
  release();
}

void LogChannel::release() {
  if (!attached_)
    return;
  attached_ = false;
  dest_.setChannel(nullptr);
  // The channel may be gone already (it tells its readers so).
  if (MsgIpc* channel = MsgIpc::Reader::channel())
    channel->removeReader(*this);
}

void LogChannel::sendLogMsg(int level, const char* source, const std::string& text) {
  rdr::FramedOutStream& out = channel_.writeMsg("logMsg");
  out.writeU32(uint32_t(level));
  out.writeString(source ? source : "");
  out.writeString(text, plat::LogDestIpc::maxTextLength);
  out.endMsg(false);
}

void LogChannel::flush() {
  channel_.flush();
}

std::unique_ptr<plat::Kicker> LogChannel::createKicker(plat::Kickee& kickee) {
  return std::make_unique<PipeKicker>(kickee);
}

void LogChannel::ipcGone(MsgIpc& channel) {
  MsgIpc::Reader::ipcGone(channel);
  release();
}

bool LogChannel::readMsg(const std::string&, rdr::FramedInStream& in, MsgIpc&) {
  uint32_t level = in.readU32();
  // Consumed before the queue goes out, so that a send which fails cannot
  // make this message be read again.
  in.checkpoint();
  dest_.levelReceived(level);
  return true;
}

} // namespace io
