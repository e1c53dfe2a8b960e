#pragma once

// The "ipc" destination: log messages for the server, sent over the message
// channel. Any thread may write; messages wait in a bounded queue and only
// the loop thread sends them, woken through a kicker. Nothing is sent until
// the server has said how much it wants ("setLogLevel"); until then the
// destination's level lets everything into the queue.
//
// Invariant: the queue holds at most maxQueued messages plus one notice;
// once the notice is queued, further messages are dropped until the queue is
// taken.

#include "base/plat/Kickee.h"
#include "base/plat/LogDest.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace plat {

class Kicker;

class LogDestIpc : public LogDest, private Kickee {
public:
  static constexpr size_t maxQueued = 1000;
  static constexpr size_t maxTextLength = 1024;

  // What the message channel provides. Used on the loop thread only.
  class Channel {
  public:
    virtual ~Channel() = default;
    // Writes one "logMsg" message: the level as U32, then the source and the
    // text as strings. May throw Exception.
    virtual void sendLogMsg(int level, const char* source, const std::string& text) = 0;
    // Pushes out what sendLogMsg wrote. May throw Exception.
    virtual void flush() = 0;
    // A wake-up that calls `kickee.kicked` on the calling thread's loop.
    virtual std::unique_ptr<Kicker> createKicker(Kickee& kickee) = 0;
  };

  // The process-wide "ipc" destination (built on first use, never destroyed).
  static LogDestIpc& instance();

  explicit LogDestIpc(const char* name = "ipc");
  ~LogDestIpc() override;

  // Attaches to `channel` (not owned; null detaches). A new channel means a
  // new peer, so the level becomes unknown again; the kicker is created on
  // the calling thread, which must be the loop thread.
  void setChannel(Channel* channel);
  // The server's "setLogLevel": takes the level (values above INT_MAX count
  // as INT_MAX), recomputes every source's effective level and sends the
  // queue.
  void levelReceived(uint32_t level);

  void write(int level, const char* source, const char* text) override;

  // On the loop thread: when the level is known, takes the whole queue and
  // sends each message the level still admits (texts cut to maxTextLength
  // bytes), then flushes. A failure is logged once and drops the rest of
  // the batch.
  void sendQueued();

  bool levelKnown();
  size_t queued();
  // Empties the queue and forgets the channel's level (tests).
  void reset();

private:
  struct Message {
    int level;
    std::string source;
    std::string text;
  };

  void kicked(Kicker& kicker) override;

  std::mutex mutex_;
  Channel* channel_ = nullptr;
  std::deque<Message> queue_;
  bool levelKnown_ = false;
  std::unique_ptr<Kicker> kicker_;
  bool lastSendFailed_ = false;
};

// The first bytes of `text`, at most `maxBytes`, ending on a UTF-8 sequence
// boundary so that a cut never leaves half a character.
std::string cutUtf8(const std::string& text, size_t maxBytes);

} // namespace plat
