#include "kwo-serve/LoginThrottle.h"

#include <algorithm>

namespace kwoserve {

bool LoginThrottle::refused(const std::string& address, Clock::time_point now) const {
  auto it = entries_.find(address);
  return it != entries_.end() && now < it->second.until;
}

LoginThrottle::Clock::duration LoginThrottle::failed(const std::string& address,
                                                     Clock::time_point now) {
  auto it = entries_.find(address);
  if (it == entries_.end()) {
    if (entries_.size() >= maxAddresses)
      forgetOldest();
    it = entries_.emplace(address, Entry{}).first;
  }
  Entry& entry = it->second;
  entry.delay = entry.delay == Clock::duration{}
                    ? Clock::duration(firstDelay)
                    : std::min<Clock::duration>(entry.delay * 2, maxDelay);
  entry.until = now + entry.delay;
  return entry.delay;
}

void LoginThrottle::forgetOldest() {
  auto oldest = std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
    return a.second.until < b.second.until;
  });
  if (oldest != entries_.end())
    entries_.erase(oldest);
}

} // namespace kwoserve
