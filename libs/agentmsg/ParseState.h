#pragma once

// Where a resumable payload read stands. A message's read() may be cut short
// by rdr::BlockException at any point; the stream then rewinds to its last
// checkpoint and read() is called again with the same message object and
// the same state. Reads therefore advance `stage` (and `index`) only right
// after a checkpoint, so that the stage always matches the stream's
// checkpoint. Small fixed layouts have a single stage and are simply read
// again from their first byte.

#include "base/rdr/ByteReader.h"

#include <cstddef>

namespace agentmsg {

struct ParseState {
  int stage = 0;
  // Records completed within the current stage.
  size_t index = 0;
  // A count or length read in an earlier stage.
  size_t length = 0;
  // Collects long byte blocks (texts, cursor pixels) across arrivals.
  rdr::ByteReader bytes;

  void reset() {
    stage = 0;
    index = 0;
    length = 0;
    bytes.reset();
  }
};

// Reads a message of small fixed layout in one go; after rdr::BlockException
// the next call starts again from its first byte.
template <class Msg>
Msg readFixed(rdr::InStream& is) {
  Msg msg;
  ParseState state;
  msg.read(is, state);
  return msg;
}

} // namespace agentmsg
