#pragma once

// Bounds how long a write to one viewer can stop kwo-serve's loop.
// LibVNCServer writes to viewers from our loop, and a write to a full socket
// waits for it to drain: at least 5 s, whatever the screen's maxClientWait
// says. SlowViewers keeps updates away from viewers that read slowly, but a
// single large update, a bell or clipboard text can still meet a full
// socket. So while the loop hands LibVNCServer work that may write, this
// watchdog's thread waits; when that takes longer than `limit` and the
// loop's thread is asleep (waiting: the work itself never sleeps otherwise),
// it shuts down the armed viewer sockets whose output is stuck (unsent
// bytes, not writable): the pending write fails at once and LibVNCServer
// drops that viewer. It looks again every `recheck` until disarmed.
//
// Thread safety: arm/disarm from the loop's thread only; the watchdog's
// thread only calls shutdown() on the armed descriptors, which stay open
// while armed (LibVNCServer closes a viewer's socket only on that thread).

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kwoserve {

class WriteWatchdog {
public:
  using Clock = std::chrono::steady_clock;

  static constexpr auto limit = std::chrono::milliseconds(100);
  static constexpr auto recheck = std::chrono::milliseconds(20);

  WriteWatchdog();
  ~WriteWatchdog();
  WriteWatchdog(const WriteWatchdog&) = delete;
  WriteWatchdog& operator=(const WriteWatchdog&) = delete;

  // The work that follows may write to `sockets`.
  void arm(std::vector<int> sockets);
  // The work is done; returns the sockets that were shut down meanwhile.
  std::vector<int> disarm();

private:
  void run();
  void cutStuckSockets();
  bool loopThreadWaits() const;

  std::mutex mutex_;
  std::condition_variable wake_;
  bool armed_ = false;
  bool stopping_ = false;
  Clock::time_point deadline_;
  std::vector<int> sockets_;
  std::vector<int> cut_;
  std::string loopThreadStat_;
  std::thread thread_;
};

} // namespace kwoserve
