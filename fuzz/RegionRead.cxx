// A region's wire form (U16 count, extents, then boxes when the count is 2
// or more), read whole from memory and in pieces from a non-blocking
// stream that blocks at the cuts the input chooses.
//
// Checks: both reads give the same region; the region keeps its invariants
// (also after union, intersection, subtraction and translation with it);
// writing and reading it back gives it again; and where every coordinate
// is small, its pixels are exactly those the peer named, counted on a grid.

#include "base/plat/Exception.h"
#include "base/rdr/BlockException.h"
#include "base/rdr/EndOfStream.h"
#include "base/rdr/MemInStream.h"
#include "base/rdr/MemOutStream.h"
#include "base/rfb/Region.h"
#include "fuzz/support/ChunkedInStream.h"
#include "fuzz/support/FuzzEnv.h"
#include "fuzz/support/SplitInput.h"

#include <array>
#include <bitset>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

namespace {

constexpr int gridLow = -16;
constexpr int gridHigh = 80;
constexpr int gridSide = gridHigh - gridLow;
using Grid = std::bitset<gridSide * gridSide>;


// The region from one complete wire form in memory, or none when the
// bytes end early.
std::optional<rfb::Region> readWhole(std::span<const uint8_t> bytes) {
  rdr::MemInStream in(bytes.data(), bytes.size());
  rfb::Region region;
  try {
    region.read(in);
  } catch (const rdr::EndOfStream&) {
    return std::nullopt;
  }
  return region;
}

std::optional<rfb::Region> readInPieces(const std::vector<std::span<const uint8_t>>& pieces) {
  fuzz::ChunkedInStream in;
  in.setNonBlocking(true);
  rfb::Region region;
  for (std::span<const uint8_t> piece : pieces) {
    in.feed(piece);
    try {
      region.read(in);
      return region;
    } catch (const rdr::BlockException&) {
      fuzz::require(region.readIndex() >= 0 || region.isEmpty(), "a blocked read keeps its place");
    }
  }
  in.close();
  try {
    region.read(in);
  } catch (const rdr::EndOfStream&) {
    return std::nullopt;
  } catch (const rdr::BlockException&) {
    return std::nullopt;
  }
  return region;
}

bool onGrid(int v) {
  return v >= gridLow && v <= gridHigh;
}

void paint(Grid& grid, const rfb::Rect& r) {
  for (int y = r.tl.y; y < r.br.y; y++)
    for (int x = r.tl.x; x < r.br.x; x++)
      grid.set(size_t((y - gridLow) * gridSide + (x - gridLow)));
}

// The pixels the wire form names, when all its coordinates are on the grid.
std::optional<Grid> namedPixels(std::span<const uint8_t> bytes) {
  rdr::MemInStream in(bytes.data(), bytes.size());
  unsigned count = in.readU16();
  auto readRect = [&in] {
    int x1 = int16_t(in.readU16()), y1 = int16_t(in.readU16());
    int x2 = int16_t(in.readU16()), y2 = int16_t(in.readU16());
    return rfb::Rect(x1, y1, x2, y2);
  };
  std::vector<rfb::Rect> rects{readRect()};
  if (count >= 2) {
    rects.clear();
    for (unsigned i = 0; i < count; i++)
      rects.push_back(readRect());
  }
  Grid grid;
  for (const rfb::Rect& r : rects) {
    if (!onGrid(r.tl.x) || !onGrid(r.tl.y) || !onGrid(r.br.x) || !onGrid(r.br.y))
      return std::nullopt;
    paint(grid, r);
  }
  return grid;
}

Grid pixelsOf(const rfb::Region& region) {
  Grid grid;
  for (const rfb::RgnRect& box : region.boxes())
    paint(grid, rfb::Rect(box));
  return grid;
}

void checkRoundTrip(const rfb::Region& region) {
  rdr::MemOutStream out;
  region.write(out);
  rdr::MemInStream in(out.data(), out.length());
  rfb::Region again;
  again.read(in);
  fuzz::require(again.equals(region), "written and read back, the region is the same");
  fuzz::require(in.atEnd(), "the written form is read completely");
}

void checkOperations(const rfb::Region& region) {
  const rfb::Region other(std::array{rfb::Rect(-40, -40, 10, 10), rfb::Rect(5, 20, 300, 30)});
  for (const rfb::Region& result :
       {region.unite(other), region.intersect(other), region.subtract(other),
        other.subtract(region), region.unite(region)}) {
    fuzz::require(result.isCanonical(), "operation results are canonical");
  }
  fuzz::require(region.subtract(region).isEmpty(), "a region less itself is empty");
  fuzz::require(region.intersect(region).equals(region), "a region meets itself whole");
  rfb::Region moved(region);
  moved.translate(17, -3);
  fuzz::require(moved.isCanonical(), "a moved region is canonical");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::pinLogSetting("");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::SplitInput input(data, size);
  std::optional<rfb::Region> whole = readWhole(input.payload());
  std::optional<rfb::Region> pieces = readInPieces(input.pieces());
  fuzz::require(whole.has_value() == pieces.has_value(), "whole and piecewise reads end alike");
  if (!whole)
    return 0;
  fuzz::require(pieces->equals(*whole), "whole and piecewise reads agree");
  fuzz::require(whole->isCanonical(), "a read region is canonical");
  fuzz::require(!whole->isBroken(), "a read region is not broken");
  if (std::optional<Grid> named = namedPixels(input.payload()))
    fuzz::require(pixelsOf(*whole) == *named, "the region covers exactly the pixels named");
  checkRoundTrip(*whole);
  checkOperations(*whole);
  return 0;
}
