#pragma once

// Converts rows of pixels from one format to another through a blend, with
// PixelFormat's conversion arithmetic. One routine per pair of source and
// destination pixel widths (8, 16, 24, 32 bits, plus "unsupported", which
// reads as 0 and writes nothing) is chosen once per call. The per-channel
// arithmetic is tabulated up front (for a true-colour "copy" one table per
// channel takes a raw source channel straight to its destination bits), and
// colour maps are read up front (source) or through a cache (destination), so
// the per-pixel work is loads, table lookups and stores, with no virtual
// call.

#include "base/rfb/PixelFormat.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace rfb {

class ColourMap;

// copy: the result is the source colour. over: premultiplied-alpha
// compositing, each channel = source + (destination * (255 - source alpha)
// + 127) / 255, capped at 255.
enum class Blend { copy, over };

class PixelTranslator {
public:
  PixelTranslator(const PixelFormat& srcPF, const ColourMap* srcMap, const PixelFormat& dstPF,
                  const ColourMap* dstMap, Blend blend);
  ~PixelTranslator();
  PixelTranslator(const PixelTranslator&) = delete;
  PixelTranslator& operator=(const PixelTranslator&) = delete;

  // Strides are in bytes. Source and destination must not overlap.
  void translate(const uint8_t* src, size_t srcStride, uint8_t* dst, size_t dstStride, int width,
                 int height);

  // True when translate() amounts to copying bytes (equal formats, and no
  // alpha to composite).
  bool isByteCopy() const { return byteCopy_; }

  struct Decoder;
  struct Encoder;
  struct Direct;

private:
  int srcBytes_;
  int dstBytes_;
  int pixelBytes_;
  Blend blend_;
  bool byteCopy_;
  std::unique_ptr<Decoder> srcDecoder_;
  std::unique_ptr<Decoder> dstDecoder_;
  std::unique_ptr<Encoder> encoder_;
  std::unique_ptr<Direct> direct_;
};

} // namespace rfb
