#include "base/io/FdSelectManager.h"

#include "base/io/FdHandler.h"
#include "base/plat/Exception.h"

#include <algorithm>
#include <cerrno>
#include <climits>

namespace io {

namespace {

void setMembership(HandlerSet& set, FdHandler& handler, bool member) {
  if (member)
    set.insert(handler);
  else
    set.erase(handler);
}

bool selectable(int fd, int limit) {
  return fd >= 0 && fd < limit;
}

} // namespace

FdSelectManager& FdSelectManager::instance() {
  static FdSelectManager manager;
  return manager;
}

bool FdSelectManager::setEventsImpl(FdHandler& handler, bool read, bool write, bool except) {
  setMembership(readInterest_, handler, read);
  setMembership(writeInterest_, handler, write);
  setMembership(exceptInterest_, handler, except);
  return true;
}

FdSelectManager::WaitLimit FdSelectManager::waitLimit(int requestedMs, int timerMs) {
  WaitLimit limit{requestedMs, false};
  if (timerMs >= 0 && (requestedMs < 0 || timerMs < requestedMs))
    limit = WaitLimit{timerMs, true};
  if (limit.ms > 0 && limit.ms < INT_MAX)
    limit.ms++;
  return limit;
}

int FdSelectManager::fillSet(const HandlerSet& interest, fd_set& set) const {
  FD_ZERO(&set);
  int highest = -1;
  for (FdHandler* handler : interest) {
    int fd = handler->fd();
    if (!selectable(fd, maxSelectFd))
      continue;
    FD_SET(fd, &set);
    highest = std::max(highest, fd);
  }
  return highest;
}

int FdSelectManager::waitForEvents(int nfds, fd_set* read, fd_set* write, fd_set* except,
                                   timeval* timeout) {
  return ::select(nfds, read, write, except, timeout);
}

bool FdSelectManager::processEvents(int timeoutMs) {
  fd_set readSet, writeSet, exceptSet;
  int highest = std::max({fillSet(readInterest_, readSet), fillSet(writeInterest_, writeSet),
                          fillSet(exceptInterest_, exceptSet)});

  WaitLimit limit = waitLimit(timeoutMs, timerManager().msUntilNext());
  timeval tv{};
  timeval* timeout = nullptr;
  if (limit.ms >= 0) {
    tv.tv_sec = limit.ms / 1000;
    tv.tv_usec = (limit.ms % 1000) * 1000;
    timeout = &tv;
  }

  int ready = waitForEvents(highest + 1, &readSet, &writeSet, &exceptSet, timeout);
  if (ready < 0) {
    if (errno != EINTR)
      throw plat::SystemException("select", errno);
    // A signal ended the wait: nothing is known to be ready, but timers and
    // requested passes still run.
    ready = 0;
  }

  if (ready > 0) {
    for (FdHandler* handler : handlers()) {
      int fd = handler->fd();
      if (!selectable(fd, highest + 1))
        continue;
      if (FD_ISSET(fd, &readSet) || FD_ISSET(fd, &exceptSet))
        markReadable(*handler);
      if (FD_ISSET(fd, &writeSet))
        markWritable(*handler);
    }
  }

  dispatch();
  return ready > 0 || limit.byTimer;
}

} // namespace io
