#pragma once

// The named-message channel. Each message is framed (rdr::OutStreamV4 /
// rdr::InStreamV4) and starts with its name as a short string; the rest is
// the message's own layout. Incoming messages are dispatched by name to
// registered readers; outgoing ones are written in place into the framed
// output stream (writeMsg ... endMsg).
//
// Receiving is a resumable state machine (readStartMsg -> readMsgName ->
// dispatch -> skipRest -> readStartMsg), run while data is available. The
// framed input is checkpointed after every completed state, so a state that
// blocks runs again from where it began; readers must be restartable in the
// same way (checkpoint after each complete record, re-read a record that was
// cut short).
//
// Invariants: the reader table maps each name (byte-wise order; the absent
// name, sorting first, is the default reader) to one reader; selected_ is the
// reader of the message being dispatched and is in the table; the receive
// state is set exactly while a connection is held.

#include "base/io/Ipc.h"
#include "base/io/IoAcceptor.h"
#include "base/rdr/InStreamV4.h"
#include "base/rdr/OutStreamV4.h"
#include "base/rdr/StateMachine.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plat {
class Exception;
}

namespace io {

class MsgIpc : public IoAcceptor, private Ipc::Callback {
public:
  class Reader {
  public:
    // Unregisters itself from the channel it was last registered with.
    virtual ~Reader();

    // Reads the payload of message `name` (the name is consumed already).
    // Returns true when done; false (or rdr::BlockException) when more data
    // must arrive, and the reader is then called again for the same message.
    // Reading past the message's end throws rdr::EndOfMsg, which closes the
    // channel.
    virtual bool readMsg(const std::string& name, rdr::FramedInStream& in, MsgIpc& channel) = 0;
    // The channel was attached to a new connection or lost its connection.
    virtual void ipcReset(MsgIpc& channel) {}
    // The channel is being destroyed; forget it.
    virtual void ipcGone(MsgIpc& channel);

  protected:
    Reader() = default;
    // The channel this reader was last registered with, or null.
    MsgIpc* channel() const { return channel_; }

  private:
    friend class MsgIpc;
    MsgIpc* channel_ = nullptr;
  };

  class Callback {
  public:
    // The connection ended (peer, error, bad message name, owner's close
    // with notification).
    virtual void ipcClosed(MsgIpc& channel) = 0;
    // Whether message `name` may be sent (isWrite) or received now.
    virtual bool isMsgAllowed(MsgIpc& channel, const std::string& name, bool isWrite) {
      return true;
    }
    // A receive error, before the channel closes.
    virtual void ipcError(MsgIpc& channel, const plat::Exception& e) {}

  protected:
    ~Callback() = default;
  };

  // `callback` is not owned and must outlive this object. With warnDiscard,
  // messages written while unconnected are logged (level 100).
  MsgIpc(Callback& callback, std::string name, bool synchronous = false, bool warnDiscard = true);
  ~MsgIpc();

  // Registers `reader` (not owned) for `name`; a name registered again gets
  // the new reader. The absent name registers the default reader, which
  // gets every message without a reader of its own.
  void registerReader(std::optional<std::string> name, Reader& reader);
  // Removes every entry of `reader`. If it is dispatching, the rest of its
  // message is skipped.
  void removeReader(Reader& reader);
  size_t readerCount() const { return readers_.size(); }

  // Starts message `name` and writes the name; the caller writes the
  // payload and ends with endMsg on the returned stream. Throws
  // plat::Exception "MsgIpc::writeMsg: Message not currently allowed" when
  // the owner forbids it. While unconnected the bytes are discarded.
  rdr::FramedOutStream& writeMsg(std::string_view name);
  // Pushes out complete messages written without flush.
  void flush() { out_.flush(); }

  // Attaches a connection; receiving starts with the next message.
  void accept(std::unique_ptr<Io> io) override;
  // Ends the connection (without flushing); the owner's ipcClosed is called
  // when `notify` and a connection existed.
  void close(bool notify);
  bool connected() const { return ipc_.connected(); }

  const std::string& name() const { return ipc_.name(); }
  Ipc& ipc() { return ipc_; }

  void setReplyBadMsg(bool flag) { replyBadMsg_ = flag; }
  void setCloseOnDestroy(bool flag) { closeOnDestroy_ = flag; }
  void setCloseOnBadLeadByte(bool flag) { closeOnBadLeadByte_ = flag; }

private:
  // Ipc::Callback
  void dataAvailable(Ipc& ipc) override;
  void ipcClosed(Ipc& ipc) override;
  void ipcError(Ipc& ipc, const plat::Exception& e) override;

  // Receive states.
  bool readStartMsg();
  bool readMsgName();
  bool dispatch();
  bool skipRest();

  // The name has no reader: answer or log it; may close the channel.
  bool unknownName();
  void bindStreams();
  // ipcReset on each distinct reader.
  void resetReaders();
  std::vector<Reader*> distinctReaders() const;

  Ipc ipc_;
  Callback& callback_;
  rdr::InStreamV4 in_;
  rdr::OutStreamV4 out_;
  rdr::StateMachine<MsgIpc> state_{*this};
  std::map<std::optional<std::string>, Reader*> readers_;
  Reader* selected_ = nullptr;
  std::optional<std::string> expectedName_;
  std::string msgName_;
  bool warnDiscard_;
  bool replyBadMsg_ = false;
  bool closeOnDestroy_ = false;
  bool closeOnBadLeadByte_ = true;
};

} // namespace io
