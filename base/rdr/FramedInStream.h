#pragma once

// Reads the messages of a framed byte stream (see rdr::FramedOutStream) from
// an underlying stream. The window is the part of the current frame's data
// that lies in the underlying window, so reading within a frame copies
// nothing; items that span frames are assembled by the InStream base.
//
// Bytes read here are committed to the underlying stream (its ptr moved past
// them) lazily: before anything that may refill it, and at checkpoints. A
// checkpoint also checkpoints the underlying stream and saves the frame
// state, and a rewind restores both, so a reader that blocks runs again from
// its checkpoint with the frame state it had there. The rewind-on-block flag
// follows the underlying stream's when it is bound.
//
// Invariants: windowStart_ <= ptr <= end, where windowStart_ is the
// underlying ptr; frameRemaining_ counts the current frame's data bytes from
// windowStart_ on; end - windowStart_ <= frameRemaining_. Outside a message
// the window is empty.

#include "base/rdr/InStream.h"

#include <cstdint>

namespace rdr {

class FramedInStream : public InStream {
public:
  ~FramedInStream() override;

  // Binds another underlying stream (not owned; null for none) and takes
  // over its rewind-on-block flag. Any message being read is forgotten.
  void setUnderlying(InStream* underlying);
  InStream* underlyingStream() const { return underlying_; }

  // Opens the next message by reading its first frame header. Returns true
  // at once when a message is open. Without `wait`, returns false (having
  // consumed nothing) when no complete header is there yet.
  bool startMsg(bool wait);
  // Throws rdr::FrameException "FramedInStream::endMsg: data left in msg"
  // unless the message is used up; then checkpoints and closes it.
  void endMsg();
  // Discards the rest of the open message, across frames. Progress is
  // checkpointed as it goes, so a skip that blocks does not start over.
  void skipToEnd();
  bool inMsg() const { return inMsg_; }

  // True when the last frame's data is used up; steps over exhausted frames
  // that were not the last (which may block: rdr::BlockException).
  bool atEnd() override;

  // Data bytes consumed since the stream began (headers not counted).
  size_t pos() const override;
  void checkpoint() override;
  void rewind() override;

protected:
  explicit FramedInStream(InStream* underlying);

  InStream& underlying() { return *underlying_; }

  // Reads the next frame header from the underlying stream. Without `wait`
  // returns false when it is not complete yet (the underlying stream then
  // rewinds, or, not being rewindable, has consumed nothing).
  virtual bool readHeader(int32_t& remaining, bool& last, bool wait) = 0;

  // Reading past the last frame throws rdr::EndOfMsg.
  bool fill(size_t itemSize) override;

private:
  struct FrameState {
    bool inMsg = false;
    bool lastFrame = false;
    int32_t frameRemaining = 0;
    size_t dataPos = 0;
  };

  // Moves the underlying ptr past what was read here.
  void commit();
  // The window after the underlying ptr, cut to the current frame.
  void resetWindow();
  // Reads the next header into the frame state; false when it is not there
  // and !wait. A block restores the checkpointed state before it goes on.
  bool nextFrame(bool wait);
  // Restores the state of the last checkpoint after the underlying stream
  // rewound to its own.
  void restoreCheckpoint();

  InStream* underlying_;
  bool inMsg_ = false;
  bool lastFrame_ = false;
  int32_t frameRemaining_ = 0;
  // Data bytes committed to the underlying stream so far.
  size_t dataPos_ = 0;
  const uint8_t* windowStart_ = nullptr;
  FrameState saved_;
};

} // namespace rdr
