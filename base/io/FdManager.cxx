#include "base/io/FdManager.h"

#include "base/io/FdHandler.h"
#include "base/plat/Assert.h"

namespace io {

namespace {

thread_local FdManager* currentManager = nullptr;

} // namespace

// A manager nested inside another must nest its timer manager too; only the
// thread's first manager may insist on being alone.
FdManager::FdManager()
  : timers_(currentManager != nullptr), dispatchTimer_(*this), previous_(currentManager) {
  currentManager = this;
}

FdManager::~FdManager() {
  while (!handlers_.empty()) {
    FdHandler& handler = **(handlers_.end() - 1);
    removeHandler(handler);
    handler.fdManagerGone();
  }
  PLAT_ASSERT(currentManager == this);
  currentManager = previous_;
  dispatchTimer_.stop();
}

FdManager* FdManager::current() {
  return currentManager;
}

void FdManager::addHandler(FdHandler& handler) {
  handlers_.insert(handler);
}

void FdManager::removeHandler(FdHandler& handler) {
  handlers_.erase(handler);
  pendingRead_.erase(handler);
  pendingWrite_.erase(handler);
  dispatchRead_.erase(handler);
  dispatchWrite_.erase(handler);
}

bool FdManager::setEvents(FdHandler& handler, bool read, bool write, bool except) {
  if (!read && !except) {
    pendingRead_.erase(handler);
    dispatchRead_.erase(handler);
  }
  if (!write) {
    pendingWrite_.erase(handler);
    dispatchWrite_.erase(handler);
  }
  return setEventsImpl(handler, read, write, except);
}

bool FdManager::setEventsImpl(FdHandler&, bool, bool, bool) {
  return true;
}

void FdManager::requestRead(FdHandler& handler) {
  pendingRead_.insert(handler);
  startDispatchTimer();
}

void FdManager::requestWrite(FdHandler& handler) {
  pendingWrite_.insert(handler);
  startDispatchTimer();
}

void FdManager::startDispatchTimer() {
  dispatchTimer_.start(0);
}

bool FdManager::timerFired(plat::Timer&) {
  // Its only job was to keep the wait from blocking.
  return false;
}

void FdManager::dispatch() {
  timers_.processTimers();

  // Merging (rather than replacing) keeps handlers that an exception left
  // undispatched in an earlier pass.
  dispatchRead_.takeAll(pendingRead_);
  while (!dispatchRead_.empty())
    dispatchRead_.takeOne().handleRead();

  dispatchWrite_.takeAll(pendingWrite_);
  while (!dispatchWrite_.empty())
    dispatchWrite_.takeOne().handleWrite();
}

} // namespace io
