#pragma once

// Turns process signals into loop events. The process-level handler only
// writes the signal number (one byte) into a self-pipe; the loop thread reads
// it and calls the registered callbacks. Registrations are changed on the
// loop thread only.
//
// Invariant: a signal has the self-pipe handler installed exactly while it
// has at least one registration.

#include "base/io/FdKickerCallback.h"

#include <csignal>
#include <memory>
#include <utility>
#include <vector>

namespace io {
class FdKicker;
}

namespace os {

class SignalHandler : private io::FdKickerCallback {
public:
  class Callback {
  public:
    // On the loop thread, once per delivered signal byte.
    virtual void handleSignal(int signal) = 0;

  protected:
    ~Callback() = default;
  };

  // The process singleton, built on first use (thread-safe) and destroyed at
  // exit. The first registration must happen on the loop thread, with its
  // descriptor manager current.
  static SignalHandler& instance();

  ~SignalHandler();
  SignalHandler(const SignalHandler&) = delete;
  SignalHandler& operator=(const SignalHandler&) = delete;

  // enable: adds (signal, callback) (duplicates allowed) and installs the
  // handler for the signal. Disable: removes every such pair, including from a
  // dispatch in progress, and restores the default action once no callback is
  // left for the signal.
  void setCallback(int signal, Callback& callback, bool enable);

  // Blocks every registered signal for the guard's lifetime; the previous mask
  // is restored on release.
  class Blocker {
  public:
    Blocker();
    ~Blocker();
    Blocker(const Blocker&) = delete;
    Blocker& operator=(const Blocker&) = delete;

  private:
    sigset_t saved_;
  };

  // In a child process about to run another program: restores the default
  // action of every registered signal. No registrations are accepted after.
  void resetDispositions();

  // "SIGHUP" ... "SIGSYS" for 1...31; null for any other number.
  static const char* signalName(int signal);

private:
  SignalHandler();

  void kicked(io::FdKicker& kicker, rdr::InStream& in) override;
  void dispatch(int signal);
  bool isRegistered(int signal) const;
  sigset_t registeredSet() const;

  using Registrations = std::vector<std::pair<int, Callback*>>;

  Registrations registrations_;
  Registrations snapshot_;
  std::unique_ptr<io::FdKicker> kicker_;
  bool disabled_ = false;
};

} // namespace os
