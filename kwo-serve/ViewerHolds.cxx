#include "kwo-serve/ViewerHolds.h"

namespace kwoserve {

bool ViewerHolds::pictureOverdue(Clock::time_point now) {
  if (!pictureHeld_ || !pictureSince_ || now - *pictureSince_ < pictureDeadline)
    return false;
  pictureHeld_ = false;
  return true;
}

void ViewerHolds::holdResize(rfbClientPtr cl, int width, int height, Clock::time_point now) {
  resizes_[cl] = {width, height, now};
}

std::vector<ViewerHolds::Answer> ViewerHolds::answerResizes(int width, int height) {
  return answer(width, height, [](const Request&) { return true; });
}

std::vector<ViewerHolds::Answer> ViewerHolds::answerSettled(int width, int height,
                                                            Clock::time_point now) {
  return answer(width, height, [&](const Request& r) {
    return (r.width == width && r.height == height) || now - r.since >= resizeDeadline;
  });
}

template <class Settled>
std::vector<ViewerHolds::Answer> ViewerHolds::answer(int width, int height, Settled settled) {
  std::vector<Answer> answers;
  for (auto it = resizes_.begin(); it != resizes_.end();) {
    const Request& r = it->second;
    if (!settled(r)) {
      ++it;
      continue;
    }
    bool granted = r.width == width && r.height == height;
    answers.push_back({it->first, granted ? rfbExtDesktopSize_Success
                                          : rfbExtDesktopSize_OutOfResources});
    it = resizes_.erase(it);
  }
  return answers;
}

} // namespace kwoserve
