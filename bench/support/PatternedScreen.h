#pragma once

// A private Xvfb of a given size whose root window shows 2000 rectangles of
// random colours (fixed seed), so that grabs and comparisons see something
// like a desktop rather than one colour. The process-wide toolkit display
// (tx::display()) is opened on it and $DISPLAY points at it. On request the
// server keeps its screen in a file in memory (-fbdir under /dev/shm), which
// the bench can write to change the screen without damage.

#include "testsupport/XvfbServer.h"

#include <memory>
#include <string>

namespace benchsupport {

class PatternedScreen {
public:
  // The server of this size, started and painted on first use and kept
  // until the process ends; with `inFile`, its screen is in a file. Throws
  // std::runtime_error when Xvfb cannot be started, or when a screen of
  // another size or kind was asked for before.
  static PatternedScreen& shared(int width, int height, bool inFile = false);
  // Stops the server and removes the file.
  ~PatternedScreen();

  const std::string& displayName() const { return server_->displayName(); }
  int width() const { return width_; }
  int height() const { return height_; }
  // The file holding the screen's pixels (testsupport::FramebufferFile);
  // empty unless asked for.
  std::string framebufferPath() const;

  // Paints the random rectangles on `drawable` of `display` (fixed seed, so
  // every call paints the same picture).
  static void paintPattern(void* display, unsigned long drawable, int width, int height,
                           unsigned seed = 42);

private:
  PatternedScreen(int width, int height, bool inFile);

  std::string fbdir_;
  std::unique_ptr<testsupport::XvfbServer> server_;
  int width_;
  int height_;
};

} // namespace benchsupport
