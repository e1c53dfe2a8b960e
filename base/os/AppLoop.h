#pragma once

// The application loop: runs the thread's descriptor manager until `quit`.
// At most one exists at a time; `quit` reaches it from any callback. The
// exit code is process-wide, starts at 0 and keeps the last value given to
// `quit`.
//
// Variants (such as one that also drains a display connection's queue before
// each wait) supply their own Impl, usually derived from os::AppLoopImpl.

#include <memory>

namespace os {

class AppLoop {
public:
  class Impl {
  public:
    virtual ~Impl() = default;
    // Runs passes until stop(); returns AppLoop::exitCode().
    virtual int run() = 0;
    // Ends run() after the current pass; a wait in progress returns at once.
    virtual void stop() = 0;
  };

  // Takes `impl`; without one, an os::AppLoopImpl over the process-wide
  // io::FdSelectManager. Asserts that no other loop exists.
  explicit AppLoop(std::unique_ptr<Impl> impl = nullptr);
  virtual ~AppLoop();
  AppLoop(const AppLoop&) = delete;
  AppLoop& operator=(const AppLoop&) = delete;

  // Runs until quit; returns the exit code. The first run of the process ends
  // the start-up phase of logging. Not re-entrant.
  int run();
  bool isRunning() const { return running_; }

  // Stores `code` and stops the running loop; there must be one.
  static void quit(int code);

  static AppLoop* instance() { return inst; }
  static int exitCode() { return exitCode_; }

protected:
  Impl& impl() { return *impl_; }

private:
  static AppLoop* inst;
  static int exitCode_;

  std::unique_ptr<Impl> impl_;
  bool running_ = false;
};

} // namespace os
