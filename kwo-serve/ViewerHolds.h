#pragma once

// Viewers whose updates wait for the agent, so that none is shown a picture
// that is not the screen:
// - every viewer while the buffer does not hold the screen yet (the desktop
//   was just started, or a new agent replaces one that died): until the
//   agent announces its filled buffer, or pictureDeadline;
// - a viewer that asked for a new desktop size: until the agent announces
//   the size its screen really has, or resizeDeadline. The answer then
//   says whether the viewer got what it asked for.
// Only the bookkeeping lives here; VncScreen holds the viewers
// (cl->onHold) and sends the answers.

#include <rfb/rfb.h>

#include <chrono>
#include <map>
#include <optional>
#include <vector>

namespace kwoserve {

class ViewerHolds {
public:
  using Clock = std::chrono::steady_clock;

  static constexpr auto pictureDeadline = std::chrono::seconds(5);
  static constexpr auto resizeDeadline = std::chrono::seconds(5);

  // A viewer's size request and the status its answer carries
  // (rfbExtDesktopSize_*).
  struct Answer {
    rfbClientPtr cl;
    int status;
  };

  void holdPicture() {
    pictureHeld_ = true;
    pictureSince_.reset();
  }
  void pictureReady() { pictureHeld_ = false; }
  // A viewer waits for the picture: its deadline runs from the first such
  // moment on.
  void pictureWaitedFor(Clock::time_point now) {
    if (pictureHeld_ && !pictureSince_)
      pictureSince_ = now;
  }
  // True once, when the picture has not come within its deadline.
  bool pictureOverdue(Clock::time_point now);

  void holdResize(rfbClientPtr cl, int width, int height, Clock::time_point now);
  // The screen is width x height now: answers every waiting request.
  std::vector<Answer> answerResizes(int width, int height);
  // Answers the requests the screen already fulfils (nothing to wait for),
  // and those past their deadline by the size there is.
  std::vector<Answer> answerSettled(int width, int height, Clock::time_point now);

  bool held(rfbClientPtr cl) const { return pictureHeld_ || resizes_.contains(cl); }
  void forget(rfbClientPtr cl) { resizes_.erase(cl); }

private:
  struct Request {
    int width, height;
    Clock::time_point since;
  };

  template <class Settled>
  std::vector<Answer> answer(int width, int height, Settled settled);

  bool pictureHeld_ = false;
  std::optional<Clock::time_point> pictureSince_;
  std::map<rfbClientPtr, Request> resizes_;
};

} // namespace kwoserve
