#pragma once

// Turns a claimed update (areas said to be copied or changed) into the update
// that really happened, by comparing a source pixel buffer with a private copy
// of it in 16x16 blocks and bringing the copy up to date as it goes. The copy
// follows the source's format and rectangle lazily, at the next
// syncFormatAndRect() or compare().

#include "base/rfb/ManagedPixelBuffer.h"
#include "base/rfb/Point.h"
#include "base/rfb/Rect.h"
#include "base/rfb/Region.h"

namespace rfb {

class PixelBuffer;

class PixelBufferComparer {
public:
  // An update as the update tracker keeps it: destination = source + offset.
  struct Update {
    Region copied;
    Point offset;
    Region changed;
  };

  static constexpr int blockSize = 16;
  static constexpr int refreshTileWidth = 2048;
  static constexpr int refreshTileHeight = 16;

  PixelBufferComparer();
  PixelBufferComparer(const PixelBufferComparer&) = delete;
  PixelBufferComparer& operator=(const PixelBufferComparer&) = delete;

  // The buffer to compare against; not owned, may be null (the copy then
  // shrinks to nothing). The copy shares the source's colour map.
  void setPB(PixelBuffer* source);
  PixelBuffer* getPB() const { return pb_; }
  // The comparer's copy of the source, as of the last comparison. A caller
  // that writes into it must restore it before the next comparison, which
  // takes the copy for what the source held.
  const ManagedPixelBuffer& getCopy() const { return copy_; }
  ManagedPixelBuffer& getCopy() { return copy_; }

  // Brings the copy's format and rectangle in line with the source (which
  // must be set) and returns the area that must be sent as changed because of
  // it. A format change drops the given update; a rectangle change clips it.
  // Pixels the old and new rectangles share keep their values.
  Region syncFormatAndRect(Update* update = nullptr);

  // Copies `region` from the source into the copy.
  void copyFromSource(const Region& region);

  // Rewrites `update` into the update that really happened: copied keeps only
  // copies that are valid and not overwritten; changed holds the 16x16 blocks
  // that really differ, plus whatever syncing the copy exposed.
  void compare(Update& update);

  // Compares one rectangle, which must lie inside the source, and adds the
  // blocks that differ (and, with "SimpleRegions", solid blocks that continue
  // a changed run to the right) to `changed`. The copy takes the new pixels.
  void compareRect(const Rect& rect, Region* changed);

private:
  void moveRect(const Rect& rect);

  PixelBuffer* pb_ = nullptr;
  ManagedPixelBuffer copy_;
};

} // namespace rfb
