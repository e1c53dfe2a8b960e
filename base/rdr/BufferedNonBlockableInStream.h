#pragma once

// A buffered input stream whose source can be switched to non-blocking
// operation. Non-blocking reads that find nothing rewind to the checkpoint
// and throw rdr::BlockException, so readers must be restartable then.

#include "base/rdr/BufferedInStream.h"

namespace rdr {

class BufferedNonBlockableInStream : public BufferedInStream {
public:
  // Takes a checkpoint: the switch happens between records. Switching to
  // non-blocking sets the rewind-on-block flag; switching back restores the
  // flag given at construction, so that a blocking reader that never takes
  // checkpoints does not pile its whole input up in the buffer.
  virtual void setNonBlocking(bool flag);
  bool isNonBlocking() const { return nonBlocking_; }

protected:
  explicit BufferedNonBlockableInStream(int bufferSize = -1, bool rewindOnBlock = false);

private:
  const bool rewindOnBlockAtStart_;
  bool nonBlocking_ = false;
};

} // namespace rdr
