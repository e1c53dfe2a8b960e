#include "base/rfb/PixelTranslator.h"

#include "base/rfb/ColourMap.h"
#include "base/rfb/PixelValue.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace rfb {

using pixelvalue::Access;

namespace {

// Channels in the order red, green, blue, alpha.
constexpr int channels = 4;

// Channel tables are built per call, so they are only used while small.
constexpr uint32_t maxTabledMax = 1023;

// Where a channel sits in a logical pixel value; a channel outside the pixel
// (shift of 32 or more) reads as 0.
struct ChannelPlace {
  unsigned shift = 0;
  uint32_t max = 0;

  ChannelPlace() = default;
  ChannelPlace(unsigned shift_, uint32_t max_)
      : shift(shift_ < 32 ? shift_ : 0), max(shift_ < 32 ? max_ : 0) {}
  uint32_t extract(uint32_t v) const { return (v >> shift) & max; }
};

std::array<ChannelPlace, channels> placesOf(const PixelFormat& pf) {
  return {ChannelPlace(pf.redShift, pf.redMax), ChannelPlace(pf.greenShift, pf.greenMax),
          ChannelPlace(pf.blueShift, pf.blueMax), ChannelPlace(pf.alphaShift, pf.alphaMax)};
}

std::array<uint32_t, channels> maximaOf(const PixelFormat& pf) {
  return {pf.redMax, pf.greenMax, pf.blueMax, pf.alphaMax};
}

// The byte reversal of PixelFormat::toLogical for a pixel of known width.
template <int Bytes> inline uint32_t swapped(uint32_t v) {
  if constexpr (Bytes == 2)
    return ((v & 0xff) << 8) | ((v >> 8) & 0xff);
  else if constexpr (Bytes == 3)
    return ((v & 0xff) << 16) | (v & 0xff00) | ((v >> 16) & 0xff);
  else if constexpr (Bytes == 4)
    return __builtin_bswap32(v);
  else
    return v;
}

inline uint32_t cap8(uint32_t v) { return v > 255 ? 255 : v; }

} // namespace

// Turns pixel values into colours. True-colour formats with small channels
// go through per-channel tables holding the 0..255 value of each raw channel
// value; colour-map entries are fetched once; anything else uses
// PixelFormat::rgbaFromPixel.
struct PixelTranslator::Decoder {
  enum class Mode { tables, palette, generic };

  Decoder(const PixelFormat& pf_, const ColourMap* map_)
      : pf(pf_), map(map_), swap(pf_.swapsBytes()) {
    if (pf.trueColour)
      buildTables();
    else if (map)
      buildPalette();
  }

  void buildTables() {
    const auto maxima = maximaOf(pf);
    for (uint32_t m : maxima)
      if (m > maxTabledMax)
        return;
    mode = Mode::tables;
    place = placesOf(pf);
    for (int c = 0; c < channels; c++) {
      // An absent alpha channel reads as opaque.
      const bool opaque = c == 3 && pf.alphaMax == 0;
      table[c].resize(place[c].max + 1);
      for (uint32_t v = 0; v <= place[c].max; v++)
        table[c][v] = opaque ? 255 : uint8_t(PixelFormat::scaleTo8Bit(v, maxima[c]));
    }
  }

  void buildPalette() {
    mode = Mode::palette;
    const int count = std::clamp(map->size(), 0, maxPalette);
    palette.resize(count);
    for (int i = 0; i < count; i++) {
      Colour c{0, 0, 0, 255};
      map->getColour(i, &c);
      c.a = 255;
      palette[i] = c;
    }
  }

  template <int Bytes> Colour decode(uint32_t raw) const {
    switch (mode) {
    case Mode::tables: {
      const uint32_t v = swap ? swapped<Bytes>(raw) : raw;
      return Colour{table[0][place[0].extract(v)], table[1][place[1].extract(v)],
                    table[2][place[2].extract(v)], table[3][place[3].extract(v)]};
    }
    case Mode::palette: {
      const uint32_t index = swap ? swapped<Bytes>(raw) : raw;
      if (index < palette.size())
        return palette[index];
      return pf.rgbaFromPixel(raw, map);
    }
    default: return pf.rgbaFromPixel(raw, map);
    }
  }

  static constexpr int maxPalette = 1 << 16;
  const PixelFormat pf;
  const ColourMap* map;
  const bool swap;
  Mode mode = Mode::generic;
  std::array<ChannelPlace, channels> place;
  std::array<std::vector<uint8_t>, channels> table;
  std::vector<Colour> palette;
};

// Turns colours into pixel values. True colour goes through per-channel
// tables of the shifted channel bits for each 0..255 value; for colour-map
// formats the nearest-colour search is remembered per colour in a small
// direct-mapped cache.
struct PixelTranslator::Encoder {
  enum class Mode { tables, cached, generic };

  Encoder(const PixelFormat& pf_, const ColourMap* map_)
      : pf(pf_), map(map_), swap(pf_.swapsBytes()) {
    if (pf.trueColour)
      buildTables();
    else if (map)
      buildCache();
  }

  void buildTables() {
    mode = Mode::tables;
    const auto maxima = maximaOf(pf);
    const auto places = placesOf(pf);
    for (int c = 0; c < channels; c++) {
      table[c].resize(256);
      for (uint32_t v = 0; v < 256; v++)
        table[c][v] = pf.*shiftFields[c] < 32
                          ? PixelFormat::scaleFrom8Bit(v, maxima[c]) << places[c].shift
                          : 0;
    }
  }

  void buildCache() {
    mode = Mode::cached;
    keys.assign(cacheSize, 0);
    values.assign(cacheSize, 0);
  }

  // The logical (unswapped) value for the tables mode.
  uint32_t logicalFromTables(const Colour& c) const {
    return table[0][cap8(c.r)] | table[1][cap8(c.g)] | table[2][cap8(c.b)] | table[3][cap8(c.a)];
  }

  template <int Bytes> uint32_t encode(const Colour& c) {
    switch (mode) {
    case Mode::tables: {
      const uint32_t v = logicalFromTables(c);
      return swap ? swapped<Bytes>(v) : v;
    }
    case Mode::cached: return encodeIndexed(c);
    default: return pf.pixelFromRGBA(c, map);
    }
  }

  uint32_t encodeIndexed(const Colour& c) {
    const Colour capped{cap8(c.r), cap8(c.g), cap8(c.b), 255};
    const uint32_t rgb = capped.r | (capped.g << 8) | (capped.b << 16);
    const uint32_t key = rgb | validBit;
    const uint32_t slot = (rgb * 2654435761u) >> (32 - cacheBits);
    if (keys[slot] != key) {
      keys[slot] = key;
      values[slot] = pf.pixelFromRGBA(capped, map);
    }
    return values[slot];
  }

  static constexpr uint8_t PixelFormat::*shiftFields[channels] = {
      &PixelFormat::redShift, &PixelFormat::greenShift, &PixelFormat::blueShift,
      &PixelFormat::alphaShift};
  static constexpr int cacheBits = 12;
  static constexpr uint32_t cacheSize = 1u << cacheBits;
  static constexpr uint32_t validBit = 1u << 24;
  const PixelFormat pf;
  const ColourMap* map;
  const bool swap;
  Mode mode = Mode::generic;
  std::array<std::vector<uint32_t>, channels> table;
  std::vector<uint32_t> keys;
  std::vector<uint32_t> values;
};

// A "copy" between two tabled true-colour formats: one table per channel
// maps the raw source channel straight to the destination's shifted bits.
struct PixelTranslator::Direct {
  Direct(const Decoder& d, const Encoder& e) : srcSwap(d.swap), dstSwap(e.swap), place(d.place) {
    for (int c = 0; c < channels; c++) {
      table[c].resize(d.table[c].size());
      for (size_t v = 0; v < d.table[c].size(); v++)
        table[c][v] = e.table[c][d.table[c][v]];
    }
  }

  const bool srcSwap;
  const bool dstSwap;
  const std::array<ChannelPlace, channels> place;
  std::array<std::vector<uint32_t>, channels> table;
};

namespace {

using Decoder = PixelTranslator::Decoder;
using Encoder = PixelTranslator::Encoder;
using Direct = PixelTranslator::Direct;

inline uint32_t overChannel(uint32_t src, uint32_t dst, uint32_t inverseAlpha) {
  // Capped: a source that is not really premultiplied would otherwise carry
  // into the next channel of the destination pixel.
  return cap8(src + (dst * inverseAlpha + 127) / 255);
}

inline Colour over(const Colour& s, const Colour& d) {
  const uint32_t inverseAlpha = 255 - cap8(s.a);
  return Colour{overChannel(s.r, d.r, inverseAlpha), overChannel(s.g, d.g, inverseAlpha),
                overChannel(s.b, d.b, inverseAlpha), overChannel(s.a, d.a, inverseAlpha)};
}

struct Rows {
  const uint8_t* src;
  size_t srcStride;
  uint8_t* dst;
  size_t dstStride;
  int width;
  int height;
};

using ConvertFn = void (*)(const Decoder&, const Decoder&, Encoder&, const Rows&);
using DirectFn = void (*)(const Direct&, const Rows&);

template <int SrcBytes, int DstBytes, bool Over>
void convertRows(const Decoder& srcDecoder, const Decoder& dstDecoder, Encoder& encoder,
                 const Rows& rows) {
  for (int y = 0; y < rows.height; y++) {
    const uint8_t* sp = rows.src + y * rows.srcStride;
    uint8_t* dp = rows.dst + y * rows.dstStride;
    for (int x = 0; x < rows.width; x++, sp += SrcBytes, dp += DstBytes) {
      Colour c = srcDecoder.decode<SrcBytes>(Access<SrcBytes>::load(sp));
      if constexpr (Over)
        c = over(c, dstDecoder.decode<DstBytes>(Access<DstBytes>::load(dp)));
      Access<DstBytes>::store(dp, encoder.encode<DstBytes>(c));
    }
  }
}

template <int SrcBytes, int DstBytes> void directRows(const Direct& d, const Rows& rows) {
  const uint32_t* t0 = d.table[0].data();
  const uint32_t* t1 = d.table[1].data();
  const uint32_t* t2 = d.table[2].data();
  const uint32_t* t3 = d.table[3].data();
  const ChannelPlace p0 = d.place[0], p1 = d.place[1], p2 = d.place[2], p3 = d.place[3];
  for (int y = 0; y < rows.height; y++) {
    const uint8_t* sp = rows.src + y * rows.srcStride;
    uint8_t* dp = rows.dst + y * rows.dstStride;
    for (int x = 0; x < rows.width; x++, sp += SrcBytes, dp += DstBytes) {
      uint32_t v = Access<SrcBytes>::load(sp);
      if (d.srcSwap)
        v = swapped<SrcBytes>(v);
      uint32_t p = t0[p0.extract(v)] | t1[p1.extract(v)] | t2[p2.extract(v)] | t3[p3.extract(v)];
      if (d.dstSwap)
        p = swapped<DstBytes>(p);
      Access<DstBytes>::store(dp, p);
    }
  }
}

// Picks the instantiation for a pair of widths (bytes; 0 = unsupported
// source). Null when nothing can be written.
template <typename Fn, template <int, int> class Pick> Fn choose(int srcBytes, int dstBytes) {
  auto forSource = [dstBytes]<int S>() -> Fn {
    switch (dstBytes) {
    case 1: return Pick<S, 1>::fn;
    case 2: return Pick<S, 2>::fn;
    case 3: return Pick<S, 3>::fn;
    case 4: return Pick<S, 4>::fn;
    default: return nullptr;
    }
  };
  switch (srcBytes) {
  case 1: return forSource.template operator()<1>();
  case 2: return forSource.template operator()<2>();
  case 3: return forSource.template operator()<3>();
  case 4: return forSource.template operator()<4>();
  default: return forSource.template operator()<0>();
  }
}

template <int S, int D> struct PickCopy {
  static constexpr ConvertFn fn = &convertRows<S, D, false>;
};
template <int S, int D> struct PickOver {
  static constexpr ConvertFn fn = &convertRows<S, D, true>;
};
template <int S, int D> struct PickDirect { static constexpr DirectFn fn = &directRows<S, D>; };

int supportedBytes(const PixelFormat& pf) { return pixelvalue::supported(pf.bpp) ? pf.bpp / 8 : 0; }

} // namespace

PixelTranslator::PixelTranslator(const PixelFormat& srcPF, const ColourMap* srcMap,
                                 const PixelFormat& dstPF, const ColourMap* dstMap, Blend blend)
    : srcBytes_(supportedBytes(srcPF)), dstBytes_(supportedBytes(dstPF)),
      pixelBytes_(srcPF.bpp / 8),
      // Compositing an opaque source is copying.
      blend_(srcPF.hasAlpha() ? blend : Blend::copy),
      byteCopy_(srcPF == dstPF && blend_ == Blend::copy) {
  if (byteCopy_)
    return;
  srcDecoder_ = std::make_unique<Decoder>(srcPF, srcMap);
  encoder_ = std::make_unique<Encoder>(dstPF, dstMap);
  if (blend_ == Blend::over)
    dstDecoder_ = std::make_unique<Decoder>(dstPF, dstMap);
  else if (srcDecoder_->mode == Decoder::Mode::tables && encoder_->mode == Encoder::Mode::tables)
    direct_ = std::make_unique<Direct>(*srcDecoder_, *encoder_);
}

PixelTranslator::~PixelTranslator() = default;

void PixelTranslator::translate(const uint8_t* src, size_t srcStride, uint8_t* dst,
                                size_t dstStride, int width, int height) {
  if (width <= 0 || height <= 0)
    return;
  const Rows rows{src, srcStride, dst, dstStride, width, height};
  if (byteCopy_) {
    pixelvalue::copyRows(dst, dstStride, src, srcStride, size_t(width) * pixelBytes_, height);
    return;
  }
  if (direct_) {
    if (DirectFn fn = choose<DirectFn, PickDirect>(srcBytes_, dstBytes_))
      fn(*direct_, rows);
    return;
  }
  const bool isOver = blend_ == Blend::over;
  ConvertFn fn = isOver ? choose<ConvertFn, PickOver>(srcBytes_, dstBytes_)
                        : choose<ConvertFn, PickCopy>(srcBytes_, dstBytes_);
  if (!fn)
    return;
  // The destination decoder is only read when compositing.
  fn(*srcDecoder_, isOver ? *dstDecoder_ : *srcDecoder_, *encoder_, rows);
}

} // namespace rfb
