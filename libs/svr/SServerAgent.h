#pragma once

// The agent's end of the conversation with the server: reads the server's
// requests ("start", "stop", "fbUpdateRequest", input, clipboard text,
// parameter settings) and hands them to the desktop, and turns the desktop's
// SServer calls into messages. Log output is forwarded over the same channel
// while it is connected.
//
// State: the desktop is started between a successful "start" and "stop" (or
// the end of the connection); an update is requested from "fbUpdateRequest"
// until fbUpdate is sent. The pixel-buffer fields hold what "setPixelBuffer"
// last announced, so that announcing the same thing again sends nothing.
//
// Readers are restartable: a handler stays selected while its message is
// incomplete and runs again from the stream's last checkpoint when more
// data arrives.

#include "base/io/IoAcceptor.h"
#include "base/io/LogChannel.h"
#include "base/io/MsgIpc.h"
#include "base/rdr/ByteReader.h"
#include "base/rdr/StateMachine.h"
#include "base/rfb/PixelFormat.h"
#include "base/rfb/Rect.h"
#include "base/rfb/Region.h"
#include "libs/agentmsg/ParseState.h"
#include "libs/agentmsg/ToAgentMsgs.h"
#include "libs/svr/SServer.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace svr {

class SDesktop;

class SServerAgent : public SServer,
                     public io::IoAcceptor,
                     private io::MsgIpc::Callback,
                     private io::MsgIpc::Reader {
public:
  class Callback {
  public:
    // The desktop was started (true) or stopped (false).
    virtual void desktopRunning(SServerAgent& server, bool running) = 0;
    // The channel closed; the desktop is already stopped.
    virtual void serverDisconnected(SServerAgent& server) = 0;

  protected:
    ~Callback() = default;
  };

  static constexpr const char* channelName = "Server";

  // `owner` and `desktop` are not owned and must outlive this object.
  SServerAgent(Callback& owner, SDesktop& desktop);
  ~SServerAgent() override;

  // Takes over the connection to the server: any earlier connection is
  // dropped (and a started desktop stopped), "init" and "initRectAndPf" are
  // sent, and log output starts flowing to the server.
  void accept(std::unique_ptr<io::Io> io) override;

  // SServer
  void setPixelBuffer(rfb::PixelBuffer* pb) override;
  void setColourMapEntries(int firstColour, int nColours) override;
  void serverCutText(std::string_view text) override;
  void bell() override;
  bool isUpdateRequested() override { return updateRequested_; }
  void desktopFailure(const plat::Exception& e) override;
  void closeClients(const CloseReason& reason) override;
  void fbUpdate(const UpdateInfo& update) override;
  void setCursorImage(const rfb::Cursor* cursor) override;
  void setCursorPos(const rfb::Point& position) override;
  void localInput() override;
  void setBlankRegion(const rfb::Region& region) override;

  // "desktopUidChanged": the user owning the desktop and their X authority
  // file (empty when none, at most 255 bytes). Throws plat::Exception when
  // the message cannot be sent, for the caller to log.
  void desktopUidChanged(uint32_t uid, std::string_view xauthFile);

  // The channel, for other components to register their readers on.
  io::MsgIpc& channel() { return channel_; }
  bool desktopStarted() const { return desktopStarted_; }

private:
  using Handler = rdr::StateMachine<SServerAgent>::StateFn;

  // io::MsgIpc::Callback
  void ipcClosed(io::MsgIpc& channel) override;
  // io::MsgIpc::Reader
  bool readMsg(const std::string& name, rdr::FramedInStream& in, io::MsgIpc& channel) override;
  void ipcReset(io::MsgIpc& channel) override;

  // Message handlers: true when the message is done; rdr::BlockException
  // when more data must arrive.
  bool readStart();
  bool readStop();
  bool readFbUpdateRequest();
  bool readPointerEvent();
  bool readKeyEvent();
  bool readClientCutText();
  bool readSetParams();

  static Handler handlerFor(const std::string& name);
  // Applies one "setParams" record.
  void applyParam(const std::string& name, const std::string& value, uint32_t priority);
  void stopDesktop();
  // Forgets a half-read message.
  void resetReceive();
  void sendInit();

  // Sends `msg`; a failure is logged and the message lost (see MsgSender).
  // True when it went out.
  template <class Msg>
  bool send(const Msg& msg, bool flush = true);

  Callback& owner_;
  io::MsgIpc channel_;
  io::LogChannel logChannel_;
  SDesktop& desktop_;
  rdr::StateMachine<SServerAgent> handler_{*this};
  rdr::FramedInStream* in_ = nullptr;
  rdr::ByteReader cutText_;
  agentmsg::SetParams params_;
  agentmsg::ParseState paramsState_;

  rfb::PixelBuffer* pb_ = nullptr;
  int64_t shmSerial_ = -1;
  rfb::Rect pbRect_;
  rfb::PixelFormat pbPF_;

  bool desktopStarted_ = false;
  bool updateRequested_ = false;
  rfb::Region lastBlankRegion_;
};

} // namespace svr
