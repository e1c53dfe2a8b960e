#pragma once

// The exception family every layer throws. A message is at most 255 bytes and
// a kind name at most 63; longer texts are cut. An empty kind means "none":
// log lines then show only the message.

#include <exception>
#include <string>
#include <string_view>

namespace plat {

class Exception : public std::exception {
public:
  explicit Exception(std::string_view message, std::string_view kind = {});

  const char* str() const noexcept { return message_.c_str(); }
  const char* type() const noexcept { return kind_.c_str(); }
  bool hasType() const noexcept { return !kind_.empty(); }
  const char* what() const noexcept override { return message_.c_str(); }

  // "[kind] message", or the message alone when there is no kind.
  std::string describe() const;

  static constexpr size_t maxMessage = 255;
  static constexpr size_t maxKind = 63;

private:
  std::string message_;
  std::string kind_;
};

// A failed system call: kind "System-<errno>", message "<call>: <strerror> (<errno>)".
class SystemException : public Exception {
public:
  SystemException(std::string_view call, int err);
  int err() const noexcept { return err_; }

private:
  int err_;
};

// A broken internal invariant that is reported to the caller rather than
// ending the process (see PLAT_ASSERT for the fatal form).
class AssertionFail : public Exception {
public:
  AssertionFail(std::string_view condition, std::string_view message);
  const std::string& condition() const noexcept { return condition_; }

private:
  std::string condition_;
};

class TimedOut : public Exception {
public:
  TimedOut() : Exception("Timed out", "TimedOut") {}
};

} // namespace plat
