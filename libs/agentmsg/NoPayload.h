#pragma once

// What every message record builds on: the stream types its write() and
// read() take, the resumable read state, and the base of the records that
// carry nothing but their name.

#include "libs/agentmsg/ParseState.h"

namespace rdr {
class InStream;
class OutStream;
} // namespace rdr

namespace agentmsg {

// A message without payload: its record adds only `name`.
struct NoPayload {
  void write(rdr::OutStream&) const {}
  void read(rdr::InStream&, ParseState&) {}
  bool operator==(const NoPayload&) const = default;
};

} // namespace agentmsg
