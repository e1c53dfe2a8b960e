#include "base/os/AppLoop.h"

#include "base/os/AppLoopImpl.h"
#include "base/plat/Assert.h"
#include "base/plat/LogSetting.h"

namespace os {

AppLoop* AppLoop::inst = nullptr;
int AppLoop::exitCode_ = 0;

AppLoop::AppLoop(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {
  PLAT_ASSERT(!inst);
  if (!impl_)
    impl_ = std::make_unique<AppLoopImpl>();
  inst = this;
}

AppLoop::~AppLoop() {
  impl_.reset();
  inst = nullptr;
}

int AppLoop::run() {
  // Messages held since start-up go to their destinations now (only the
  // first call in the process does anything).
  plat::endStartup();
  // Spelt out so that the report names the state as it is documented.
  if (running_)
    plat::assertionFailed("!isRunning", __FILE__, __LINE__);
  running_ = true;
  struct ClearRunning {
    bool& flag;
    ~ClearRunning() { flag = false; }
  } clearRunning{running_};
  impl_->run();
  return exitCode_;
}

void AppLoop::quit(int code) {
  if (!(inst && inst->running_))
    plat::assertionFailed("inst && inst->isRunning", __FILE__, __LINE__);
  exitCode_ = code;
  inst->impl_->stop();
}

} // namespace os
