#pragma once

// A reader went past the last byte of the message being received. Derives
// from rdr::EndOfStream so that code which stops at the end of any input
// (such as readLine) stops at the end of a message too.

#include "base/rdr/EndOfStream.h"

namespace rdr {

class EndOfMsg : public EndOfStream {
public:
  EndOfMsg();
};

} // namespace rdr
