#include "kwo-serve/FdWatch.h"

#include "base/io/FdManager.h"
#include "base/io/FdSelectManager.h"

namespace kwoserve {

FdWatch::FdWatch(int fd, std::function<void()> onReady, Kind kind)
    : io::FdHandler(fd), onReady_(std::move(onReady)) {
  manager_ = io::FdManager::current();
  if (!manager_)
    manager_ = &io::FdSelectManager::instance();
  manager_->addHandler(*this);
  manager_->setEvents(*this, kind == Kind::readable, kind == Kind::writable);
}

FdWatch::~FdWatch() {
  if (!manager_)
    return;
  manager_->setEvents(*this, false, false);
  manager_->removeHandler(*this);
}

void FdWatch::handleRead() { onReady_(); }

} // namespace kwoserve
