#pragma once

// Reads the payloads of a set of named messages from an io::MsgIpc channel
// and hands each completed message to its handlers. One slot per message
// name holds the message being assembled and its ParseState; a read cut
// short by rdr::BlockException resumes in the same slot when more data
// arrives, so handlers only ever see whole messages.
//
// Ownership: the dispatcher registers itself on the channel (not owned,
// must outlive it or be destroyed first — either order is safe) and
// unregisters in its destructor. Handlers are not owned.
// Threading: the loop thread of the channel only.
// Failure: a payload the slot refuses (plat::Exception) or one that ends
// early (rdr::EndOfMsg) leaves the channel's receive loop, which closes the
// connection; the slot is cleared when the channel resets.
// A handler must not destroy the dispatcher from inside a callback.

#include "base/io/MsgIpc.h"
#include "libs/agentmsg/ParseState.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace agenthost {

class MsgDispatcher : public io::MsgIpc::Reader {
public:
  class Slot {
  public:
    virtual ~Slot() = default;
    virtual const char* name() const = 0;
    // Continues reading the payload; returns once it is complete.
    virtual void read(rdr::InStream& is) = 0;
    // Hands the completed message to the handlers.
    virtual void deliver() = 0;
    // Forgets any partial message.
    virtual void reset() = 0;
  };

  ~MsgDispatcher() override;
  MsgDispatcher(const MsgDispatcher&) = delete;
  MsgDispatcher& operator=(const MsgDispatcher&) = delete;

  // How many messages named `name` have been delivered so far.
  size_t received(const std::string& name) const;
  // The names this dispatcher reads.
  std::vector<std::string> names() const;

protected:
  explicit MsgDispatcher(io::MsgIpc& channel);

  // Takes the slot and registers its name on the channel.
  void addSlot(std::unique_ptr<Slot> slot);

private:
  bool readMsg(const std::string& name, rdr::FramedInStream& in, io::MsgIpc& channel) override;
  void ipcReset(io::MsgIpc& channel) override;

  io::MsgIpc& channel_;
  std::map<std::string, std::unique_ptr<Slot>> slots_;
  std::map<std::string, size_t> received_;
  // The slot of the message being read; null between messages.
  Slot* current_ = nullptr;
};

// The slot of message type Msg, delivered by calling `fn` on every handler
// in the order they were added.
template <class Msg, class Handler>
class TypedSlot : public MsgDispatcher::Slot {
public:
  using Fn = void (Handler::*)(const Msg&);
  TypedSlot(const std::vector<Handler*>& handlers, Fn fn) : handlers_(handlers), fn_(fn) {}

  const char* name() const override { return Msg::name; }
  void read(rdr::InStream& is) override { msg_.read(is, state_); }
  void deliver() override {
    // A copy: a handler may add or remove handlers while it is called.
    std::vector<Handler*> handlers = handlers_;
    for (Handler* handler : handlers)
      (handler->*fn_)(msg_);
  }
  void reset() override {
    msg_ = Msg{};
    state_.reset();
  }

private:
  const std::vector<Handler*>& handlers_;
  Fn fn_;
  Msg msg_;
  agentmsg::ParseState state_;
};

} // namespace agenthost
