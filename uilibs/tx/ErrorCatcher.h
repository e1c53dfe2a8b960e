#pragma once

// Scoped capture of X protocol errors on the toolkit's display connection.
//
// X errors arrive asynchronously: a request that fails is reported only when
// the server's answer is read. A catcher therefore waits for the server when
// it opens (so that older errors are not blamed on this scope) and, unless
// check() already did, when it closes (so that this scope's errors are not
// blamed on the next). The usual pattern is
//
//   tx::ErrorCatcher catcher(100);
//   XSomeRequest(...);
//   catcher.check("XSomeRequest failed");   // throws tx::XErrorException
//
// Catchers nest; an error is recorded only by the innermost live catcher and
// logged ("X Error: <text> (<code>)") at that catcher's level. Catchers must
// be destroyed in reverse order of construction, on the event-loop thread.
// Outside every catcher Xlib's default handler (which ends the process) is in
// force.

#include <string_view>

namespace tx {

class ErrorCatcher {
public:
  explicit ErrorCatcher(int logLevel);
  ~ErrorCatcher();
  ErrorCatcher(const ErrorCatcher&) = delete;
  ErrorCatcher& operator=(const ErrorCatcher&) = delete;

  // Waits for the server, then throws tx::XErrorException if an error was
  // recorded: "<message>: <X error text> (<code>)", or without "<message>: "
  // when the message is empty. Leaving the scope no longer waits afterwards.
  void check(std::string_view message = {});

  // The last X error code recorded in this scope; 0 = none. Errors still in
  // transit are not seen until the server has been waited for.
  unsigned int errorCode() const { return errorCode_; }

private:
  // Holds the Xlib error handler (defined with the Xlib types in the source).
  struct Handler;
  // Xlib's handler type names an anonymous struct, so the replaced handler is
  // kept type-erased and cast back when it is reinstalled.
  using ErasedHandler = void (*)();

  ErrorCatcher* previous_;
  ErasedHandler oldHandler_ = nullptr;
  unsigned int errorCode_ = 0;
  int logLevel_;
  bool syncOnExit_ = true;
};

} // namespace tx
