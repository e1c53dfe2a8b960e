#pragma once

// Keeps the messages that no destination took during start-up, so that they
// can be replayed once the "Log" setting and the destinations are ready.
// Invariant: at most maxStored messages plus one notice, in arrival order;
// once the notice is stored, further messages are dropped until the store
// shrinks again.

#include "base/plat/LogDest.h"

#include <mutex>
#include <string>
#include <vector>

namespace plat {

class LogDestMem : public LogDest {
public:
  static constexpr size_t maxStored = 500;

  // The process-wide store (built on first use, never destroyed).
  static LogDestMem& instance();

  LogDestMem();

  // Stores the message; ignored while replaying.
  void write(int level, const char* source, const char* text) override;

  // Writes the stored messages with a level <= `level` to `dest`, in order,
  // framed by "Start replaying stored messages" and "Finished replaying
  // stored messages" (from source "LogDestMem", at `level`); nothing at all
  // when none qualifies. The store is left as it was.
  void replay(LogDest& dest, int level);
  // Removes the stored messages with a level <= `level`.
  void discardUpTo(int level);
  void clear();
  size_t size();

private:
  struct Message {
    int level;
    std::string source;
    std::string text;
  };

  std::mutex mutex_;
  std::vector<Message> messages_;
  bool replaying_ = false;
};

} // namespace plat
