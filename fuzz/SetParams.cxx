// Records of the server's "setParams" message (short-string name, string
// value, U32 priority, repeated to the end of the message) through the
// agent's own reader on a live channel: the input after the piece sizes is
// the message's payload, framed here and delivered in the pieces the input
// chooses. Parameters of every kind (fuzz/support/FuzzParameters.h) give the
// records something to hit besides the agent's own; the log setting is pinned,
// so "Log", "LogDir" and "LogFile" change nothing on disk.
//
// Checks: the sanitizers, and that the parameters end up the same whether
// the message arrives whole or in pieces (a record must be applied once,
// however often its reader has to start again).

#include "base/rdr/MemOutStream.h"
#include "base/rdr/OutStreamV4.h"
#include "fuzz/support/AgentReceiver.h"
#include "fuzz/support/FuzzEnv.h"
#include "fuzz/support/FuzzParameters.h"
#include "fuzz/support/SplitInput.h"

namespace {

// The payload as one "setParams" message on the wire.
std::vector<uint8_t> frame(std::span<const uint8_t> payload) {
  rdr::MemOutStream bytes;
  rdr::OutStreamV4 out(&bytes);
  out.startMsg();
  out.writeShortString("setParams");
  out.writeBytes(payload.data(), payload.size());
  out.endMsg(true);
  return bytes.takeData();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::declareFuzzParameters();
  fuzz::initAgentReceiver();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::SplitInput input(data, size);
  std::vector<uint8_t> wire = frame(input.payload());
  // The input's piece sizes, applied to the framed message.
  std::vector<std::span<const uint8_t>> pieces = input.cut(wire);
  fuzz::Events split = fuzz::runAgentReceiver(pieces);
  if (pieces.size() > 1)
    fuzz::requireSameEvents(split, fuzz::runAgentReceiver({std::span<const uint8_t>(wire)}));
  return 0;
}
