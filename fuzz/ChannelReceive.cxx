// The agent's receive path: arbitrary bytes, delivered in pieces whose
// sizes the input chooses, into a message channel with every reader the
// agent registers on it (the protocol end with a desktop that only records
// what it is asked, the System V owner reader, and the log channel's
// "setLogLevel").
//
// Besides the sanitizers, the check is that cutting the bytes differently
// changes nothing: the same bytes delivered whole must reach the desktop,
// the owner reader and the parameters exactly as they do in pieces.

#include "fuzz/support/AgentReceiver.h"
#include "fuzz/support/FuzzEnv.h"
#include "fuzz/support/SplitInput.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::initAgentReceiver();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::SplitInput input(data, size);
  std::vector<std::span<const uint8_t>> pieces = input.pieces();
  fuzz::Events split = fuzz::runAgentReceiver(pieces);
  if (pieces.size() > 1)
    fuzz::requireSameEvents(split, fuzz::runAgentReceiver({input.payload()}));
  return 0;
}
