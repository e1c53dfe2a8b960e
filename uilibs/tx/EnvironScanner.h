#pragma once

// Finds one variable in a process environment as the kernel exposes it
// (/proc/<pid>/environ: "NAME=value" entries, each ended by a NUL), fed in
// chunks of any size so that a large environment never has to be held in
// memory. The first entry with the name wins, as getenv() would see it.
// Only the value being collected is buffered, and never beyond its limit.

#include <cstddef>
#include <string>
#include <string_view>

namespace tx {

class EnvironScanner {
public:
  enum class State {
    scanning, // more input may still hold the variable
    found,    // value() is the variable's value
    tooLong,  // the variable is there, but its value exceeds the limit
    absent,   // the input ended without the variable
  };

  // `name` must not contain '=' or NUL. Values longer than `maxValueLength`
  // bytes are reported as tooLong.
  EnvironScanner(std::string_view name, size_t maxValueLength);

  // Consumes the next chunk. Returns true once the answer is known; further
  // input is then ignored.
  bool feed(std::string_view chunk);
  // The input has ended; a last entry without its NUL still counts.
  void finish();

  State state() const { return state_; }
  const std::string& value() const { return value_; }

private:
  size_t consumeValue(std::string_view rest);

  std::string key_; // "NAME="
  size_t maxValueLength_;
  State state_ = State::scanning;
  size_t matched_ = 0;    // bytes of key_ matched at the start of this entry
  bool skipping_ = false; // this entry is another variable: skip to its NUL
  bool inValue_ = false;  // key_ matched: collecting the value
  std::string value_;
};

} // namespace tx
