#include "base/plat/LogDestIpc.h"

#include "base/plat/Exception.h"
#include "base/plat/Kicker.h"
#include "base/plat/LogSrc.h"
#include "base/plat/NoDestructor.h"

#include <climits>

namespace plat {

namespace {

constexpr const char* sourceName = "LogDestIpc";

LogSrc vlog(sourceName);

bool isContinuationByte(unsigned char byte) {
  return (byte & 0xc0) == 0x80;
}

} // namespace

std::string cutUtf8(const std::string& text, size_t maxBytes) {
  if (text.size() <= maxBytes)
    return text;
  size_t length = maxBytes;
  while (length > 0 && isContinuationByte(text[length]))
    length--;
  return text.substr(0, length);
}

LogDestIpc& LogDestIpc::instance() {
  static NoDestructor<LogDestIpc> dest;
  return *dest;
}

LogDestIpc::LogDestIpc(const char* name) : LogDest(name) {}

LogDestIpc::~LogDestIpc() = default;

void LogDestIpc::setChannel(Channel* channel) {
  // The kicker is built and destroyed outside the lock: either may log, and
  // a log line comes back here through write.
  std::unique_ptr<Kicker> kicker = channel ? channel->createKicker(*this) : nullptr;
  {
    std::lock_guard lock(mutex_);
    channel_ = channel;
    levelKnown_ = false;
    lastSendFailed_ = false;
    kicker_.swap(kicker);
  }
}

void LogDestIpc::levelReceived(uint32_t level) {
  setLevel(level > uint32_t(INT_MAX) ? INT_MAX : int(level));
  {
    std::lock_guard lock(mutex_);
    levelKnown_ = true;
  }
  LogSrc::updateAllLevels();
  sendQueued();
}

void LogDestIpc::write(int level, const char* source, const char* text) {
  std::lock_guard lock(mutex_);
  if (level > this->level())
    return;
  if (queue_.size() < maxQueued)
    queue_.push_back({level, source, text});
  else if (queue_.size() == maxQueued)
    queue_.push_back({0, sourceName, "Too many messages, discarding further ones"});
  // Messages are only sent on the loop thread; wake it, also when this is
  // the loop thread itself, so that sending never happens inside a caller's
  // log statement.
  if (kicker_ && levelKnown_)
    kicker_->kick();
}

void LogDestIpc::kicked(Kicker&) {
  sendQueued();
}

void LogDestIpc::sendQueued() {
  std::deque<Message> batch;
  Channel* channel;
  {
    std::lock_guard lock(mutex_);
    if (!levelKnown_ || !channel_)
      return;
    batch.swap(queue_);
    channel = channel_;
  }
  try {
    for (const Message& message : batch) {
      // The level may have dropped since the message was queued.
      if (message.level <= level())
        channel->sendLogMsg(message.level, message.source.c_str(),
                            cutUtf8(message.text, maxTextLength));
    }
    channel->flush();
    lastSendFailed_ = false;
  } catch (const Exception& e) {
    // Reported once: the report itself is queued here and would fail again.
    if (!lastSendFailed_)
      vlog.status("%s", e.describe().c_str());
    lastSendFailed_ = true;
  }
}

bool LogDestIpc::levelKnown() {
  std::lock_guard lock(mutex_);
  return levelKnown_;
}

size_t LogDestIpc::queued() {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

void LogDestIpc::reset() {
  std::lock_guard lock(mutex_);
  queue_.clear();
  levelKnown_ = false;
  lastSendFailed_ = false;
  setLevel(INT_MAX);
}

} // namespace plat
