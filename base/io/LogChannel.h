#pragma once

// Connects the "ipc" log destination to a message channel: registers the
// reader of the server's "setLogLevel" (one U32 level) and sends queued log
// lines as "logMsg" (U32 level, string source, string text of at most 1024
// bytes), flushing after each batch.
//
// Attach on the loop thread (the destination's kicker is created there);
// the channel must outlive the attachment. Destruction detaches.

#include "base/io/MsgIpc.h"
#include "base/plat/LogDestIpc.h"

namespace io {

class LogChannel : public plat::LogDestIpc::Channel, private MsgIpc::Reader {
public:
  explicit LogChannel(MsgIpc& channel, plat::LogDestIpc& dest = plat::LogDestIpc::instance());
  ~LogChannel() override;
  LogChannel(const LogChannel&) = delete;
  LogChannel& operator=(const LogChannel&) = delete;

  // Makes this channel the destination's; its level is unknown until the
  // peer sends "setLogLevel".
  void attach();
  // Sends the lines still queued while the channel is connected (and the
  // level known), then lets go of the destination and the "setLogLevel"
  // reader. Nothing happens when not attached.
  void detach();
  bool attached() const { return attached_; }

  // plat::LogDestIpc::Channel
  void sendLogMsg(int level, const char* source, const std::string& text) override;
  void flush() override;
  std::unique_ptr<plat::Kicker> createKicker(plat::Kickee& kickee) override;

private:
  bool readMsg(const std::string& name, rdr::FramedInStream& in, MsgIpc& channel) override;
  // The channel is going away: the destination must not send through it.
  void ipcGone(MsgIpc& channel) override;
  // detach() without sending.
  void release();

  MsgIpc& channel_;
  plat::LogDestIpc& dest_;
  bool attached_ = false;
};

} // namespace io
