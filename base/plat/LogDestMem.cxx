#include "base/plat/LogDestMem.h"

#include "base/plat/NoDestructor.h"

#include <algorithm>

namespace plat {

namespace {

constexpr const char* sourceName = "LogDestMem";

} // namespace

LogDestMem& LogDestMem::instance() {
  static NoDestructor<LogDestMem> store;
  return *store;
}

LogDestMem::LogDestMem() : LogDest(nullptr) {}

void LogDestMem::write(int level, const char* source, const char* text) {
  std::lock_guard lock(mutex_);
  if (replaying_)
    return;
  if (messages_.size() < maxStored) {
    messages_.push_back({level, source, text});
    return;
  }
  if (messages_.size() == maxStored)
    messages_.push_back({0, sourceName, "Too many messages, discarding further ones"});
}

void LogDestMem::replay(LogDest& dest, int level) {
  std::vector<Message> selected;
  {
    std::lock_guard lock(mutex_);
    for (const Message& message : messages_) {
      if (message.level <= level)
        selected.push_back(message);
    }
    if (selected.empty())
      return;
    // Messages that the replayed lines themselves produce must not be stored
    // again and replayed a second time.
    replaying_ = true;
  }
  dest.write(level, sourceName, "Start replaying stored messages");
  for (const Message& message : selected)
    dest.write(message.level, message.source.c_str(), message.text.c_str());
  dest.write(level, sourceName, "Finished replaying stored messages");
  std::lock_guard lock(mutex_);
  replaying_ = false;
}

void LogDestMem::discardUpTo(int level) {
  std::lock_guard lock(mutex_);
  std::erase_if(messages_, [level](const Message& message) { return message.level <= level; });
}

void LogDestMem::clear() {
  std::lock_guard lock(mutex_);
  messages_.clear();
}

size_t LogDestMem::size() {
  std::lock_guard lock(mutex_);
  return messages_.size();
}

} // namespace plat
