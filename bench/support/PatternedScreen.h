#pragma once

// A private Xvfb of a given size whose root window shows 2000 rectangles of
// random colours (fixed seed), so that grabs and comparisons see something
// like a desktop rather than one colour. The process-wide toolkit display
// (tx::display()) is opened on it and $DISPLAY points at it.

#include "testsupport/XvfbServer.h"

#include <memory>
#include <string>

namespace benchsupport {

class PatternedScreen {
public:
  // The server of this size, started and painted on first use and kept
  // until the process ends. Throws std::runtime_error when Xvfb cannot be
  // started, or when a screen of another size was asked for before.
  static PatternedScreen& shared(int width, int height);

  const std::string& displayName() const { return server_->displayName(); }
  int width() const { return width_; }
  int height() const { return height_; }

  // Paints the random rectangles on `drawable` of `display` (fixed seed, so
  // every call paints the same picture).
  static void paintPattern(void* display, unsigned long drawable, int width, int height,
                           unsigned seed = 42);

private:
  PatternedScreen(int width, int height);

  std::unique_ptr<testsupport::XvfbServer> server_;
  int width_;
  int height_;
};

} // namespace benchsupport
