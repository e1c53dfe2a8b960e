#include "base/rdr/EndOfMsg.h"

namespace rdr {

EndOfMsg::EndOfMsg() : EndOfStream("End of message", "EndOfMsg") {}

} // namespace rdr
