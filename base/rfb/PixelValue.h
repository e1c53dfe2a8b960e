#pragma once

// Loading and storing pixel values in memory: 8-bit as the byte, 16- and
// 32-bit as host-order integers, 24-bit as three bytes lowest first. Memory
// need not be aligned. Width 0 stands for an unsupported bpp: it loads 0 and
// stores nothing.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace rfb::pixelvalue {

template <int Bytes> struct Access;

template <> struct Access<0> {
  static uint32_t load(const uint8_t*) { return 0; }
  static void store(uint8_t*, uint32_t) {}
};

template <> struct Access<1> {
  static uint32_t load(const uint8_t* p) { return *p; }
  static void store(uint8_t* p, uint32_t v) { *p = uint8_t(v); }
};

template <> struct Access<2> {
  static uint32_t load(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
  }
  static void store(uint8_t* p, uint32_t v) {
    uint16_t w = uint16_t(v);
    std::memcpy(p, &w, 2);
  }
};

template <> struct Access<3> {
  static uint32_t load(const uint8_t* p) { return p[0] | (p[1] << 8) | (uint32_t(p[2]) << 16); }
  static void store(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
  }
};

template <> struct Access<4> {
  static uint32_t load(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
  }
  static void store(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
};

// Copies `rows` rows of rowBytes bytes between images whose rows lie
// dstStep / srcStep bytes apart. The images must not overlap.
inline void copyRows(uint8_t* dst, size_t dstStep, const uint8_t* src, size_t srcStep,
                     size_t rowBytes, int rows) {
  if (rowBytes == 0)
    return;
  for (int y = 0; y < rows; y++)
    std::memcpy(dst + y * dstStep, src + y * srcStep, rowBytes);
}

inline bool supported(int bpp) { return bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32; }

inline uint32_t load(const uint8_t* p, int bpp) {
  switch (bpp) {
  case 8: return Access<1>::load(p);
  case 16: return Access<2>::load(p);
  case 24: return Access<3>::load(p);
  case 32: return Access<4>::load(p);
  default: return 0;
  }
}

inline void store(uint8_t* p, int bpp, uint32_t v) {
  switch (bpp) {
  case 8: Access<1>::store(p, v); break;
  case 16: Access<2>::store(p, v); break;
  case 24: Access<3>::store(p, v); break;
  case 32: Access<4>::store(p, v); break;
  default: break;
  }
}

} // namespace rfb::pixelvalue
