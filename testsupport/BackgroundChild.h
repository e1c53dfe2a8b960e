#pragma once

// A program run to completion (ChildProcess::run) on a thread of its own,
// for programs that wait on the calling thread: an X client that pastes
// from, or serves a selection to, the test's own X client.

#include "testsupport/ChildProcess.h"

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

class BackgroundChild {
public:
  // Starts the program as ChildProcess::run would.
  BackgroundChild(std::vector<std::string> argv,
                  std::vector<std::pair<std::string, std::string>> environment = {},
                  std::string input = {});
  // Waits for the program's end (ChildProcess's deadline bounds the wait).
  ~BackgroundChild();
  BackgroundChild(const BackgroundChild&) = delete;
  BackgroundChild& operator=(const BackgroundChild&) = delete;

  bool ended() const { return ended_; }
  // Valid once ended().
  const ChildResult& result() const { return result_; }

private:
  ChildResult result_;
  std::atomic<bool> ended_{false};
  std::thread thread_;
};

} // namespace testsupport
