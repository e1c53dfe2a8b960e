#pragma once

// The palette of a colour-map (PseudoColor) screen: one 16-bit-per-channel
// entry per pixel value 0 .. size() - 1 of the default visual, read from the
// colormap the screen currently shows. Holds a copy; refresh() reads it
// again. At most 256 entries: only 8-bit colour-map screens are captured.

#include "uilibs/tx/TXUtil.h"

#include "base/rfb/ColourMap.h"

#include <optional>
#include <vector>

namespace tx {

class ColourMapX11 : public rfb::ColourMap {
public:
  // Reads the entries of the open display's default screen. A visual with
  // more than 256 entries is a programming error that ends the process.
  ColourMapX11();

  // The colour of pixel value `index`, channels scaled to 8 bits; nothing
  // for an index outside 0 .. size() - 1.
  void getColour(int index, rfb::Colour* colour) const override;
  // The number of entries of the default visual.
  int size() const override;

  // Reads every entry again from the first installed colormap of the root
  // window, or from the default colormap when none is installed or the
  // installed one has fewer cells (it belongs to another visual). True when
  // any entry differs from the copy held before; false too when nothing
  // could be read (the copy is kept).
  bool refresh();

  // Pixels 0 .. count - 1 of `cmap`; none when the server refuses, which it
  // does for a pixel beyond the colormap's cells or a colormap that is gone
  // (the X error is caught and logged at level 100).
  static std::optional<std::vector<Rgb16>> readColormap(Colormap cmap, int count);

  // 16-bit channel -> 8-bit channel, rounding to nearest.
  static uint32_t to8Bits(uint16_t channel);

private:
  int numColours() const;

  std::vector<Rgb16> entries_;
};

} // namespace tx
