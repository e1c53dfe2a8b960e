#pragma once

// An output byte stream hands out a window [ptr, end) of free buffer space
// and empties it on demand through overrun(). Multi-byte integers are
// big-endian. Invariant: ptr <= end.

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace rdr {

class OutStream {
public:
  virtual ~OutStream();
  OutStream(const OutStream&) = delete;
  OutStream& operator=(const OutStream&) = delete;

  // Copy n bytes, window by window.
  virtual void writeBytes(const void* data, size_t n);
  // Total bytes written into the stream so far.
  virtual size_t length() const = 0;
  // Hand what was written to the sink (how far that goes depends on the
  // stream's mode: blocking streams write everything).
  virtual void flush() {}
  // The stream this one writes into; itself for streams over a sink.
  virtual OutStream& underlying() { return *this; }
  // Whether writes to the innermost sink may leave data behind instead of
  // blocking.
  virtual bool isNonBlocking() const { return false; }
  // Free bytes in the current window.
  virtual size_t spaceAvailable() const { return size_t(end - ptr); }
  // Bytes accepted but not yet handed to the sink, counted at the stream that
  // buffers them.
  virtual size_t bufferedBytes() const { return 0; }

  void writeU8(uint8_t v) {
    if (ptr == end)
      overrun(1, 1);
    *ptr++ = v;
  }
  void writeU16(uint16_t v) {
    if (end - ptr < 2)
      overrun(2, 1);
    ptr[0] = uint8_t(v >> 8);
    ptr[1] = uint8_t(v);
    ptr += 2;
  }
  void writeU32(uint32_t v) {
    if (end - ptr < 4)
      overrun(4, 1);
    ptr[0] = uint8_t(v >> 24);
    ptr[1] = uint8_t(v >> 16);
    ptr[2] = uint8_t(v >> 8);
    ptr[3] = uint8_t(v);
    ptr += 4;
  }
  void writeS32(int32_t v) { writeU32(uint32_t(v)); }
  void writeU64(uint64_t v) {
    if (end - ptr < 8)
      overrun(8, 1);
    for (int i = 0; i < 8; i++)
      ptr[i] = uint8_t(v >> (56 - 8 * i));
    ptr += 8;
  }

  // U8 length, then the text's bytes; texts of 256 bytes or more are cut to
  // their first 255. A null text is written as length 0.
  void writeShortString(std::string_view text);
  void writeShortString(const char* text);
  // U32 length, then the text's bytes, at most maxLength of them.
  void writeString(std::string_view text, size_t maxLength = UINT32_MAX);
  // n zero bytes.
  void pad(size_t n);
  // printf-style text without a terminator.
  void printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void vprintf(const char* format, va_list args);

  uint8_t* getPtr() const { return ptr; }
  uint8_t* getEnd() const { return end; }
  // Move ptr forward within the window (after writing into it directly).
  void setptr(uint8_t* p);

  // Make room for at least one item of itemSize bytes; returns how many of
  // nItems now fit in the window (at least one). Streams layered on this one
  // call it to get a fresh window.
  virtual size_t overrun(size_t itemSize, size_t nItems) = 0;

protected:
  OutStream() = default;

  uint8_t* ptr = nullptr;
  uint8_t* end = nullptr;
};

} // namespace rdr
