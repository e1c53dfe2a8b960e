#include "base/os/SignalHandler.h"

#include "base/io/FdKicker.h"
#include "base/plat/Assert.h"
#include "base/plat/Exception.h"
#include "base/rdr/InStream.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <pthread.h>

namespace os {

namespace {

constexpr std::array<const char*, 32> signalNames = {
  nullptr,     "SIGHUP",  "SIGINT",    "SIGQUIT", "SIGILL",    "SIGTRAP", "SIGABRT",
  "SIGBUS",    "SIGFPE",  "SIGKILL",   "SIGUSR1", "SIGSEGV",   "SIGUSR2", "SIGPIPE",
  "SIGALRM",   "SIGTERM", "SIGSTKFLT", "SIGCHLD", "SIGCONT",   "SIGSTOP", "SIGTSTP",
  "SIGTTIN",   "SIGTTOU", "SIGURG",    "SIGXCPU", "SIGXFSZ",   "SIGVTALRM",
  "SIGPROF",   "SIGWINCH", "SIGIO",    "SIGPWR",  "SIGSYS",
};

// Read by the process-level handler, which may run on any thread at any
// moment; kick() itself is async-signal-safe.
std::atomic<io::FdKicker*> activeKicker{nullptr};

extern "C" void onSignal(int signal) {
  int savedErrno = errno;
  if (io::FdKicker* kicker = activeKicker.load())
    kicker->kick(uint8_t(signal));
  errno = savedErrno;
}

void setDisposition(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a wait in select() must end so that the loop sees the byte.
  action.sa_flags = 0;
  if (sigaction(signal, &action, nullptr) < 0)
    throw plat::SystemException("sigaction", errno);
}

} // namespace

SignalHandler& SignalHandler::instance() {
  static SignalHandler handler;
  return handler;
}

SignalHandler::SignalHandler() = default;

SignalHandler::~SignalHandler() {
  // Signals arriving from now on get their default action rather than a
  // kicker that is going away.
  for (const auto& [signal, callback] : registrations_)
    ::signal(signal, SIG_DFL);
  activeKicker.store(nullptr);
}

const char* SignalHandler::signalName(int signal) {
  if (signal < 1 || signal >= int(signalNames.size()))
    return nullptr;
  return signalNames[size_t(signal)];
}

void SignalHandler::setCallback(int signal, Callback& callback, bool enable) {
  if (enable) {
    bool disabled = disabled_;
    PLAT_ASSERT(!disabled);
    if (!kicker_) {
      kicker_ = std::make_unique<io::FdKicker>(static_cast<io::FdKickerCallback&>(*this));
      activeKicker.store(kicker_.get());
    }
    setDisposition(signal, onSignal);
    registrations_.emplace_back(signal, &callback);
    return;
  }
  std::pair<int, Callback*> entry(signal, &callback);
  std::erase(registrations_, entry);
  std::erase(snapshot_, entry);
  if (!isRegistered(signal))
    setDisposition(signal, SIG_DFL);
}

bool SignalHandler::isRegistered(int signal) const {
  return std::any_of(registrations_.begin(), registrations_.end(),
                     [signal](const auto& entry) { return entry.first == signal; });
}

sigset_t SignalHandler::registeredSet() const {
  sigset_t set;
  sigemptyset(&set);
  for (const auto& [signal, callback] : registrations_)
    sigaddset(&set, signal);
  return set;
}

void SignalHandler::kicked(io::FdKicker&, rdr::InStream& in) {
  // Runs until the pipe is dry (rdr::BlockException, swallowed by the kicker).
  for (;;) {
    int signal = in.readU8();
    // Committed before the callbacks run, so that an exception from one of
    // them cannot make this byte be delivered twice.
    in.checkpoint();
    dispatch(signal);
  }
}

void SignalHandler::dispatch(int signal) {
  // A snapshot, so that callbacks may register and unregister freely; an
  // entry removed meanwhile also leaves the snapshot and is not called.
  snapshot_ = registrations_;
  while (!snapshot_.empty()) {
    auto [entrySignal, callback] = snapshot_.back();
    snapshot_.pop_back();
    if (entrySignal == signal)
      callback->handleSignal(signal);
  }
}

void SignalHandler::resetDispositions() {
  for (const auto& [signal, callback] : registrations_)
    ::signal(signal, SIG_DFL);
  disabled_ = true;
}

SignalHandler::Blocker::Blocker() {
  sigset_t set = instance().registeredSet();
  pthread_sigmask(SIG_BLOCK, &set, &saved_);
}

SignalHandler::Blocker::~Blocker() {
  pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

} // namespace os
