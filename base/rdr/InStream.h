#pragma once

// An input byte stream hands out a window [ptr, end) of buffered bytes and
// refills it on demand through fill(). Multi-byte integers are big-endian.
//
// Reading can be speculative: with the rewind-on-block flag set, a read that
// runs out of data in a non-blocking stream moves ptr back to the last
// checkpoint and throws rdr::BlockException, so that the reader can run again
// from the same place once more bytes have arrived. Without the flag every
// refill takes a checkpoint first, because nothing before ptr is needed again.
//
// Invariants: checkpointPtr <= ptr <= end; the bytes from checkpointPtr to end
// stay valid until the next fill(); checkpointPos is the stream position of
// checkpointPtr.

#include <cstddef>
#include <cstdint>
#include <string>

namespace rdr {

class InStream {
public:
  virtual ~InStream();
  InStream(const InStream&) = delete;
  InStream& operator=(const InStream&) = delete;

  // Bytes consumed since the stream began.
  virtual size_t pos() const = 0;
  // Remember the current place; rewind() and rewindTo() go back to it.
  virtual void checkpoint();
  // ptr back to the checkpoint. Only streams with the rewind-on-block flag keep
  // the bytes for that; others throw "Attempt to rewind a non-rewindable stream".
  virtual void rewind();
  // Go to an absolute position at or after the checkpoint position; earlier
  // ones throw "Can't reposition before checkpoint".
  virtual void rewindTo(size_t position);
  // True when no further byte can come (memory streams at their end, framed
  // streams at the end of the message). Byte sources never know it in advance.
  virtual bool atEnd() { return false; }

  // Make itemSize bytes available, called when the window is shorter. Returns
  // true once bytes are there (possibly fewer than itemSize when the source
  // cuts its data into windows). When nothing can be had now: throws
  // rdr::BlockException if wait, else returns false; either way ptr is back at
  // the checkpoint in rewind-on-block mode.
  bool check(bool wait, size_t itemSize);

  uint8_t readU8() {
    if (ptr == end)
      check(true, 1);
    return *ptr++;
  }
  uint16_t readU16() {
    if (end - ptr < 2)
      return uint16_t(readSlow(2));
    uint16_t v = uint16_t(ptr[0] << 8 | ptr[1]);
    ptr += 2;
    return v;
  }
  uint32_t readU32() {
    if (end - ptr < 4)
      return uint32_t(readSlow(4));
    uint32_t v = uint32_t(ptr[0]) << 24 | uint32_t(ptr[1]) << 16 | uint32_t(ptr[2]) << 8 | ptr[3];
    ptr += 4;
    return v;
  }
  int32_t readS32() { return int32_t(readU32()); }
  uint64_t readU64() {
    if (end - ptr < 8)
      return readSlow(8);
    uint64_t v = 0;
    for (int i = 0; i < 8; i++)
      v = v << 8 | ptr[i];
    ptr += 8;
    return v;
  }

  // Copy n bytes, across refills.
  void readBytes(void* destination, size_t n);
  // Discard n bytes, across refills.
  void skip(size_t n);

  // U8 length, then the text. With checkUtf8 an invalid text is repaired.
  std::string readShortString(bool checkUtf8 = false);
  // U32 length, then the text. A length above maxLength throws
  // rdr::StringTooLongException before any text byte is consumed.
  std::string readString(size_t maxLength, bool checkUtf8 = false);
  // Bytes up to a line feed (not included; carriage returns dropped). A
  // maxLength of 0 means 262144; longer lines throw rdr::StringTooLongException.
  // The end of the stream (or message) after at least one byte ends the line.
  std::string readLine(size_t maxLength = 0);

  // As many whole items as the window holds (at least one, at most nItems);
  // the count is stored in *nGot. ptr moves past them.
  const uint8_t* getItems(size_t itemSize, size_t nItems, size_t* nGot = nullptr);

  const uint8_t* getPtr() const { return ptr; }
  const uint8_t* getEnd() const { return end; }
  size_t avail() const { return size_t(end - ptr); }
  // Move forward inside the window.
  void setptr(const uint8_t* p);

  bool rewindOnBlock() const { return rewindOnBlock_; }
  size_t checkpointPos() const { return checkpointPos_; }

  static constexpr size_t defaultMaxLine = 0x40000;

protected:
  explicit InStream(bool rewindOnBlock = false);

  // Make at least itemSize bytes available (fewer when a window boundary of
  // the source intervenes). Returns false when nothing more can be had now;
  // may also throw rdr::BlockException for that.
  virtual bool fill(size_t itemSize) = 0;

  void setRewindOnBlock(bool flag) { rewindOnBlock_ = flag; }

  const uint8_t* ptr = nullptr;
  const uint8_t* end = nullptr;
  const uint8_t* checkpointPtr = nullptr;
  size_t checkpointPos_ = 0;

private:
  // An item of n bytes (n <= 8) whose bytes may span several windows.
  uint64_t readSlow(size_t n);

  bool rewindOnBlock_;
};

} // namespace rdr
