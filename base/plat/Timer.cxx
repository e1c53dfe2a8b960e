#include "base/plat/Timer.h"

#include "base/plat/Assert.h"
#include "base/plat/Clock.h"
#include "base/plat/TimerManager.h"

namespace plat {

Timer::Timer(Callback& callback) : callback_(&callback) {}

Timer::~Timer() {
  stop();
}

void Timer::start(int32_t ms) {
  stop();
  TimerManager* thrInst = TimerManager::current();
  PLAT_ASSERT(thrInst);
  periodMs_ = ms;
  due_ = thrInst->now() + int64_t(ms) * ticksPerMs;
  thrInst->insert(*this);
}

void Timer::stop() {
  if (manager_)
    manager_->remove(*this);
}

int64_t Timer::remaining() const {
  TimerManager* manager = manager_ ? manager_ : TimerManager::current();
  int64_t now = manager ? manager->now() : monoTime();
  return due_ - now;
}

} // namespace plat
