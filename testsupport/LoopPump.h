#pragma once

// The tests' one wait: a condition checked until it holds, with a generous
// deadline, doing a step (a loop pass, a short sleep) between checks
// instead of fixed sleeps.

#include "base/io/FdManager.h"

#include <chrono>

namespace testsupport {

template <typename Condition, typename Step>
bool waitUntil(Condition condition, Step step,
               std::chrono::milliseconds deadline = std::chrono::seconds(60)) {
  auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end)
      return false;
    step();
  }
  return true;
}

// Runs passes of a descriptor manager until `condition` holds.
template <typename Condition>
bool pumpUntil(io::FdManager& manager, Condition condition,
               std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
  return waitUntil(condition, [&] { manager.processEvents(50); }, deadline);
}

} // namespace testsupport
