#include "base/os/AppLoopImpl.h"

#include "base/io/FdSelectManager.h"

namespace os {

AppLoopImpl::AppLoopImpl() : AppLoopImpl(io::FdSelectManager::instance()) {}

AppLoopImpl::AppLoopImpl(io::FdManager& manager) : manager_(manager) {}

int AppLoopImpl::run() {
  stop_ = false;
  while (!stop_)
    manager_.processEvents(-1);
  return AppLoop::exitCode();
}

void AppLoopImpl::stop() {
  stop_ = true;
  manager_.startDispatchTimer();
}

} // namespace os
