#pragma once

// A child process that repaints an area of the root window until it is
// killed: the "busy screen" load of the capture benchmarks. It has its own X
// connection, so the X server serves it like any other client; each frame
// ends with an XSync, so that frames are not queued faster than the server
// draws them.

#include <atomic>
#include <cstdint>
#include <string>
#include <sys/types.h>

namespace benchsupport {

class Painter {
public:
  enum class Content {
    // One colour, another one each frame: cheapest for the X server.
    solidFill,
    // Four prepared pictures of random rectangles, copied in turn: every
    // frame differs from the last three almost everywhere, as a video would.
    noise,
  };

  struct Options {
    std::string display; // empty: $DISPLAY
    int x = 0, y = 0, width = 0, height = 0;
    Content content = Content::solidFill;
    // 0: as fast as the server draws.
    int framesPerSecond = 0;
  };

  // Forks the painter; running() is false when fork() failed. A painter
  // that cannot open the display exits at once with status 1.
  explicit Painter(const Options& options);
  // Kills and reaps the child.
  ~Painter();
  Painter(const Painter&) = delete;
  Painter& operator=(const Painter&) = delete;

  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // Frames the X server has finished drawing so far.
  uint64_t framesPainted() const { return frames_ ? frames_->load() : 0; }

private:
  [[noreturn]] static void paint(const Options& options, std::atomic<uint64_t>* frames);

  // A counter in memory shared with the child.
  std::atomic<uint64_t>* frames_ = nullptr;
  pid_t pid_ = -1;
};

} // namespace benchsupport
