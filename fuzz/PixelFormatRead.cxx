// The 16-byte wire form of a pixel format, read from a stream, then used:
// printed (both forms, every buffer size), written back, turned
// little-endian, and used to convert the pixels that follow it in the
// input.
//
// Checks: writing the read format and reading it again is a fixed point;
// the buffer form of print is the string form cut to the buffer; and a
// format turned little-endian decodes the same memory bytes to the same
// colours as the big-endian one it came from.

#include "base/rdr/EndOfStream.h"
#include "base/rdr/MemInStream.h"
#include "base/rdr/MemOutStream.h"
#include "base/rfb/PixelFormat.h"
#include "fuzz/support/FuzzEnv.h"

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>

namespace {


// How a pixel buffer loads a pixel of this size from memory.
uint32_t loadPixel(const uint8_t* bytes, int bpp) {
  switch (bpp) {
  case 16: {
    uint16_t v;
    std::memcpy(&v, bytes, 2);
    return v;
  }
  case 24: return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16;
  case 32: {
    uint32_t v;
    std::memcpy(&v, bytes, 4);
    return v;
  }
  default: return bytes[0];
  }
}

void checkPrint(const rfb::PixelFormat& pf) {
  const std::string text = pf.print();
  char buffer[rfb::PixelFormat::textSize];
  for (size_t size = 1; size <= sizeof buffer; size++) {
    std::memset(buffer, 'x', sizeof buffer);
    pf.print(buffer, size);
    size_t length = strnlen(buffer, size);
    fuzz::require(length < size, "the buffer form is terminated inside the buffer");
    fuzz::require(text.compare(0, length, buffer, length) == 0, "the buffer form is the text, cut");
    fuzz::require(length == std::min(text.size(), size - 1), "the buffer form is cut only by the buffer");
  }
}

void checkRoundTrip(const rfb::PixelFormat& pf) {
  rdr::MemOutStream out;
  pf.write(out);
  fuzz::require(out.length() == rfb::PixelFormat::wireSize, "the wire form has 16 bytes");
  rdr::MemInStream in(out.data(), out.length());
  rfb::PixelFormat again;
  again.read(in);
  fuzz::require(again == pf, "a written format reads back equal");
  uint8_t first[rfb::PixelFormat::wireSize], second[rfb::PixelFormat::wireSize];
  pf.writeBytes(first);
  again.writeBytes(second);
  fuzz::require(std::memcmp(first, second, sizeof first) == 0, "a written format reads back the same");
}

void checkLittleEndian(const rfb::PixelFormat& pf, const uint8_t* pixels, size_t count) {
  rfb::PixelFormat little = pf;
  if (!little.makeLittleEndian()) {
    fuzz::require(little == pf, "a format that cannot turn little-endian is unchanged");
    return;
  }
  fuzz::require(!little.bigEndian, "a turned format is little-endian");
  if (!pf.bigEndian || !pf.trueColour)
    return;
  for (size_t i = 0; i + 4 <= count * 4; i += 4) {
    uint32_t value = loadPixel(pixels + i, pf.bpp);
    rfb::Colour before = pf.rgbaFromPixel(value);
    rfb::Colour after = little.rgbaFromPixel(value);
    if (before != after) {
      std::fprintf(stderr, "%s -> %s: pixel %#x decodes differently\n", pf.print().c_str(),
                   little.print().c_str(), value);
      std::abort();
    }
  }
}

void convertPixels(const rfb::PixelFormat& pf, const uint8_t* pixels, size_t count) {
  for (size_t i = 0; i < count; i++) {
    uint32_t value = loadPixel(pixels + 4 * i, pf.bpp);
    rfb::Colour colour = pf.rgbaFromPixel(value);
    fuzz::require(colour.r <= 255 && colour.g <= 255 && colour.b <= 255 && colour.a <= 255,
          "decoded channels are 8-bit");
    if (!pf.trueColour)
      fuzz::require(colour == rfb::Colour{0, 0, 0, 255}, "a colour-map pixel without a map is black");
    // Encoding must cope with whatever decoding gave.
    (void)pf.pixelFromRGBA(colour, nullptr);
  }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::pinLogSetting("");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rdr::MemInStream in(data, size);
  rfb::PixelFormat pf;
  try {
    pf.read(in);
  } catch (const rdr::EndOfStream&) {
    fuzz::require(size < rfb::PixelFormat::wireSize, "only a short input ends early");
    return 0;
  }
  const uint8_t* pixels = data + rfb::PixelFormat::wireSize;
  const size_t count = (size - rfb::PixelFormat::wireSize) / 4;
  checkPrint(pf);
  checkRoundTrip(pf);
  checkLittleEndian(pf, pixels, count);
  convertPixels(pf, pixels, count);
  return 0;
}
