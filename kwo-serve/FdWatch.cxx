#include "kwo-serve/FdWatch.h"

#include "base/io/FdManager.h"
#include "base/io/FdSelectManager.h"

namespace kwoserve {

FdWatch::FdWatch(int fd, std::function<void()> onReadable)
    : io::FdHandler(fd), onReadable_(std::move(onReadable)) {
  manager_ = io::FdManager::current();
  if (!manager_)
    manager_ = &io::FdSelectManager::instance();
  manager_->addHandler(*this);
  manager_->setEvents(*this, true, false);
}

FdWatch::~FdWatch() {
  if (!manager_)
    return;
  manager_->setEvents(*this, false, false);
  manager_->removeHandler(*this);
}

void FdWatch::handleRead() { onReadable_(); }

} // namespace kwoserve
