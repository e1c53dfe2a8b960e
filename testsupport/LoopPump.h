#pragma once

// Runs passes of a descriptor manager until a condition holds, with a
// generous deadline instead of fixed sleeps.

#include "base/io/FdManager.h"

#include <chrono>

namespace testsupport {

template <typename Condition>
bool pumpUntil(io::FdManager& manager, Condition condition,
               std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
  auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end)
      return false;
    manager.processEvents(50);
  }
  return true;
}

} // namespace testsupport
