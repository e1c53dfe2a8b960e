#pragma once

// A program run to completion (ChildProcess::run) on a thread of its own,
// for programs that wait on the calling thread: an X client that pastes
// from, or serves a selection to, the test's own X client.

#include "testsupport/ChildProcess.h"

#include <atomic>
#include <thread>

namespace testsupport {

class BackgroundChild {
public:
  // Starts the program as ChildProcess::run would.
  BackgroundChild(std::vector<std::string> argv,
                  std::vector<std::pair<std::string, std::string>> environment = {},
                  std::string input = {})
    : thread_([this, argv = std::move(argv), environment = std::move(environment),
               input = std::move(input)] {
        result_ = ChildProcess::run(argv, environment, input);
        ended_ = true;
      }) {}
  // Waits for the program's end (ChildProcess's deadline bounds the wait).
  ~BackgroundChild() { thread_.join(); }
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
