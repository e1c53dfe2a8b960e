#pragma once

// Slows password guessing: after a failed login from an address, that
// address is refused for a while (new connections and password checks
// alike), the pause doubling with each further failure (1 s, 2 s, 4 s ...
// up to maxDelay). A successful login forgets the address. Attempts made
// while an address is refused do not count as failures.
//
// Invariant: at most maxAddresses are remembered (the oldest failure is
// forgotten first), so that a flood of addresses cannot grow it.

#include <chrono>
#include <map>
#include <string>

namespace kwoserve {

class LoginThrottle {
public:
  using Clock = std::chrono::steady_clock;

  static constexpr auto firstDelay = std::chrono::seconds(1);
  static constexpr auto maxDelay = std::chrono::seconds(60);
  static constexpr size_t maxAddresses = 4096;

  // Whether `address` is refused at `now`.
  bool refused(const std::string& address, Clock::time_point now) const;
  // Records a failure; returns the pause it starts.
  Clock::duration failed(const std::string& address, Clock::time_point now);
  void succeeded(const std::string& address) { entries_.erase(address); }

private:
  struct Entry {
    Clock::duration delay{};
    Clock::time_point until;
  };

  void forgetOldest();

  std::map<std::string, Entry> entries_;
};

} // namespace kwoserve
