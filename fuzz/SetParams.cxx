// Records of the server's "setParams" message (short-string name, string
// value, U32 priority, repeated to the end of the message) through the
// agent's own reader on a live channel: the input after the piece sizes is
// the message's payload, framed here and delivered in the pieces the input
// chooses. Parameters of every kind are declared below so that the records
// have something to hit besides the agent's own; the log setting is pinned,
// so "Log", "LogDir" and "LogFile" change nothing on disk.
//
// Checks: the sanitizers, and that the parameters end up the same whether
// the message arrives whole or in pieces (a record must be applied once,
// however often its reader has to start again).

#include "base/io/FdSelectManager.h"
#include "base/plat/BinaryParameter.h"
#include "base/plat/BoolParameter.h"
#include "base/plat/EnumParameter.h"
#include "base/plat/IntParameter.h"
#include "base/plat/S64Parameter.h"
#include "base/plat/StringParameter.h"
#include "base/rdr/MemOutStream.h"
#include "base/rdr/OutStreamV4.h"
#include "fuzz/support/AgentReceiver.h"
#include "fuzz/support/FuzzEnv.h"
#include "fuzz/support/SplitInput.h"

namespace {

const char* const fruits[] = {"Apple", "Pear", "Quince", nullptr};

plat::BoolParameter fuzzBool("FuzzBool", "A switch for fuzzing", false);
plat::IntParameter fuzzInt("FuzzInt", "A number for fuzzing", 7, -5, 1000);
plat::StringParameter fuzzText("FuzzText", "A text for fuzzing", "plain");
plat::EnumParameter fuzzEnum("FuzzEnum", "A choice for fuzzing", fruits, 1);
plat::BinaryParameter fuzzBinary("FuzzBinary", "Bytes for fuzzing");
plat::S64Parameter fuzzS64("FuzzS64", "A wide number for fuzzing", -2);

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
  io::FdSelectManager::instance();
  fuzz::pinLogSetting("*:ipc:200");
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
