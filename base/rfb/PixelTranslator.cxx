#include "base/rfb/PixelTranslator.h"

#include "base/rfb/ColourMap.h"
#include "base/rfb/PixelValue.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace rfb {

using pixelvalue::Access;

// Turns pixel values into colours. Colour-map entries are fetched once so
// that the per-pixel path makes no virtual call.
struct PixelTranslator::Decoder {
  Decoder(const PixelFormat& pf_, const ColourMap* map_) : pf(pf_), map(map_) {
    if (pf.trueColour || !map)
      return;
    const int count = std::min(map->size(), maxPalette);
    palette.resize(count > 0 ? count : 0);
    for (int i = 0; i < count; i++) {
      Colour c{0, 0, 0, 255};
      map->getColour(i, &c);
      c.a = 255;
      palette[i] = c;
    }
  }

  Colour decode(uint32_t raw) const {
    if (pf.trueColour)
      return pf.rgbaFromPixel(raw, nullptr);
    uint32_t index = pf.toLogical(raw);
    if (index < palette.size())
      return palette[index];
    return pf.rgbaFromPixel(raw, map);
  }

  static constexpr int maxPalette = 1 << 16;
  const PixelFormat pf;
  const ColourMap* map;
  std::vector<Colour> palette;
};

// Turns colours into pixel values. For colour-map formats the nearest-colour
// search is remembered per colour in a small direct-mapped cache.
struct PixelTranslator::Encoder {
  Encoder(const PixelFormat& pf_, const ColourMap* map_) : pf(pf_), map(map_) {
    if (!pf.trueColour && map) {
      keys.assign(cacheSize, 0);
      values.assign(cacheSize, 0);
    }
  }

  uint32_t encode(const Colour& c) {
    if (pf.trueColour || !map)
      return pf.pixelFromRGBA(c, map);
    return encodeIndexed(c);
  }

  uint32_t encodeIndexed(const Colour& c) {
    auto cap = [](uint32_t v) { return v > 255 ? 255u : v; };
    Colour capped{cap(c.r), cap(c.g), cap(c.b), 255};
    const uint32_t rgb = capped.r | (capped.g << 8) | (capped.b << 16);
    const uint32_t key = rgb | validBit;
    const uint32_t slot = ((rgb * 2654435761u) >> (32 - cacheBits));
    if (keys[slot] != key) {
      keys[slot] = key;
      values[slot] = pf.pixelFromRGBA(capped, map);
    }
    return values[slot];
  }

  static constexpr int cacheBits = 12;
  static constexpr uint32_t cacheSize = 1u << cacheBits;
  static constexpr uint32_t validBit = 1u << 24;
  const PixelFormat pf;
  const ColourMap* map;
  std::vector<uint32_t> keys;
  std::vector<uint32_t> values;
};

namespace {

using Decoder = PixelTranslator::Decoder;
using Encoder = PixelTranslator::Encoder;

inline uint32_t overChannel(uint32_t src, uint32_t dst, uint32_t inverseAlpha) {
  // Capped: a source that is not really premultiplied would otherwise carry
  // into the next channel of the destination pixel.
  uint32_t v = src + (dst * inverseAlpha + 127) / 255;
  return v > 255 ? 255 : v;
}

inline Colour over(const Colour& s, const Colour& d) {
  const uint32_t inverseAlpha = 255 - (s.a > 255 ? 255 : s.a);
  return Colour{overChannel(s.r, d.r, inverseAlpha), overChannel(s.g, d.g, inverseAlpha),
                overChannel(s.b, d.b, inverseAlpha), overChannel(s.a, d.a, inverseAlpha)};
}

using RowsFn = void (*)(const Decoder&, const Decoder&, Encoder&, const uint8_t*, size_t,
                        uint8_t*, size_t, int, int);

template <int SrcBytes, int DstBytes, bool Over>
void translateRows(const Decoder& srcDecoder, const Decoder& dstDecoder, Encoder& encoder,
                   const uint8_t* src, size_t srcStride, uint8_t* dst, size_t dstStride, int width,
                   int height) {
  for (int y = 0; y < height; y++) {
    const uint8_t* sp = src + y * srcStride;
    uint8_t* dp = dst + y * dstStride;
    for (int x = 0; x < width; x++, sp += SrcBytes, dp += DstBytes) {
      Colour c = srcDecoder.decode(Access<SrcBytes>::load(sp));
      if constexpr (Over)
        c = over(c, dstDecoder.decode(Access<DstBytes>::load(dp)));
      Access<DstBytes>::store(dp, encoder.encode(c));
    }
  }
}

template <int SrcBytes>
RowsFn chooseForSource(int dstBytes, bool isOver) {
  switch (dstBytes) {
  case 1: return isOver ? &translateRows<SrcBytes, 1, true> : &translateRows<SrcBytes, 1, false>;
  case 2: return isOver ? &translateRows<SrcBytes, 2, true> : &translateRows<SrcBytes, 2, false>;
  case 3: return isOver ? &translateRows<SrcBytes, 3, true> : &translateRows<SrcBytes, 3, false>;
  case 4: return isOver ? &translateRows<SrcBytes, 4, true> : &translateRows<SrcBytes, 4, false>;
  default: return nullptr;
  }
}

// Null when nothing can be written (unsupported destination width).
RowsFn chooseRows(int srcBytes, int dstBytes, bool isOver) {
  switch (srcBytes) {
  case 1: return chooseForSource<1>(dstBytes, isOver);
  case 2: return chooseForSource<2>(dstBytes, isOver);
  case 3: return chooseForSource<3>(dstBytes, isOver);
  case 4: return chooseForSource<4>(dstBytes, isOver);
  default: return chooseForSource<0>(dstBytes, isOver);
  }
}

int supportedBytes(const PixelFormat& pf) {
  return pixelvalue::supported(pf.bpp) ? pf.bpp / 8 : 0;
}

} // namespace

PixelTranslator::PixelTranslator(const PixelFormat& srcPF, const ColourMap* srcMap,
                                 const PixelFormat& dstPF, const ColourMap* dstMap, Blend blend)
    : srcDecoder_(std::make_unique<Decoder>(srcPF, srcMap)),
      dstDecoder_(std::make_unique<Decoder>(dstPF, dstMap)),
      encoder_(std::make_unique<Encoder>(dstPF, dstMap)), srcBytes_(supportedBytes(srcPF)),
      dstBytes_(supportedBytes(dstPF)),
      // Compositing an opaque source is copying.
      blend_(srcPF.hasAlpha() ? blend : Blend::copy),
      byteCopy_(srcPF == dstPF && blend_ == Blend::copy) {}

PixelTranslator::~PixelTranslator() = default;

void PixelTranslator::translate(const uint8_t* src, size_t srcStride, uint8_t* dst,
                                size_t dstStride, int width, int height) {
  if (width <= 0 || height <= 0)
    return;
  if (byteCopy_) {
    const size_t rowBytes = size_t(width) * (srcDecoder_->pf.bpp / 8);
    if (rowBytes == 0)
      return;
    for (int y = 0; y < height; y++)
      std::memcpy(dst + y * dstStride, src + y * srcStride, rowBytes);
    return;
  }
  RowsFn rows = chooseRows(srcBytes_, dstBytes_, blend_ == Blend::over);
  if (!rows)
    return;
  rows(*srcDecoder_, *dstDecoder_, *encoder_, src, srcStride, dst, dstStride, width, height);
}

} // namespace rfb
