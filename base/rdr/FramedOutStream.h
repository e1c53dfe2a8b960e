#pragma once

// Cuts the messages written into it into frames in an underlying stream. A
// frame is a header of hdrSize bytes, written by the concrete format
// (writeHeader), followed by at most maxFrameData data bytes. Frame data is
// written straight into the underlying stream's window behind a reserved
// header, so framing copies nothing: the header is filled in and the frame
// committed to the underlying stream (its ptr moved past it) when the frame
// ends.
//
// Invariants: while inFrame_, this stream's window lies inside the
// underlying window, starting hdrSize bytes after the underlying ptr (the
// reserved header) and no more than maxFrameData bytes long; nothing else
// writes to the underlying stream then. Outside a frame the window is empty.
// A frame that is not the last of its message is never committed empty.

#include "base/rdr/OutStream.h"

namespace rdr {

class FramedOutStream : public OutStream {
public:
  ~FramedOutStream() override;

  // Points the stream at another underlying stream (not owned; null for
  // none). A message open on the old one is abandoned.
  void setUnderlying(OutStream* underlying);
  OutStream* underlyingStream() const { return underlying_; }

  // Throws rdr::FrameException when a message is open already.
  void startMsg();
  // Ends the message with its last frame, then flushes the underlying stream
  // when `flush`. Throws rdr::FrameException when no frame is open.
  void endMsg(bool flush);
  // A message left open by a writer that failed half-way can no longer be
  // taken back; this ends it (so the peer sees its end, short of data) and
  // leaves the stream ready for the next message.
  void abandonMsg();
  bool inMsg() const { return inMsg_; }

  // Inside a message: ends the current frame (not as last), flushes the
  // underlying stream and opens a new frame. Outside: flushes the underlying
  // stream.
  void flush() override;
  // Data bytes written, counting the open frame.
  size_t length() const override;
  OutStream& underlying() override { return *underlying_; }
  bool isNonBlocking() const override;
  size_t bufferedBytes() const override;
  size_t overrun(size_t itemSize, size_t nItems) override;

protected:
  FramedOutStream(OutStream* underlying, size_t maxFrameData, size_t hdrSize);

  // Writes the header of a frame of `length` data bytes at the underlying
  // stream's ptr (exactly hdrSize bytes, which are reserved).
  virtual void writeHeader(size_t length, bool last, bool first) = 0;

private:
  // Opens a frame with room for at least minSize data bytes.
  void startFrame(size_t minSize);
  void endFrame(bool last);
  size_t frameLength() const { return size_t(ptr - frameData_); }

  OutStream* underlying_;
  const size_t maxFrameData_;
  const size_t hdrSize_;
  bool inMsg_ = false;
  bool inFrame_ = false;
  bool startOfMsg_ = false;
  size_t completed_ = 0;
  // First data byte of the open frame (hdrSize after the underlying ptr).
  uint8_t* frameData_ = nullptr;
};

} // namespace rdr
