#include "base/plat/LogDest.h"

#include "base/plat/CaseInsensitive.h"
#include "base/plat/LogSrc.h"

#include <mutex>

namespace plat {

namespace {

// Constant-initialised, so destinations built during static initialisation
// in any file find the list ready.
constinit std::mutex listMutex;
constinit LogDest* listHead = nullptr;

} // namespace

LogDest::LogDest(const char* name) : name_(name) {
  if (!name_)
    return;
  std::lock_guard lock(listMutex);
  next_ = listHead;
  listHead = this;
}

LogDest::~LogDest() {
  if (name_) {
    std::lock_guard lock(listMutex);
    for (LogDest** link = &listHead; *link; link = &(*link)->next_) {
      if (*link == this) {
        *link = next_;
        break;
      }
    }
  }
  // No source may keep writing to a destination that is gone.
  LogSrc::forgetDest(this);
}

LogDest* LogDest::find(std::string_view name) {
  std::lock_guard lock(listMutex);
  for (LogDest* dest = listHead; dest; dest = dest->next_) {
    if (dest->name_ && equalsIgnoreCase(dest->name_, name))
      return dest;
  }
  return nullptr;
}

std::vector<LogDest*> LogDest::all() {
  std::lock_guard lock(listMutex);
  std::vector<LogDest*> dests;
  for (LogDest* dest = listHead; dest; dest = dest->next_)
    dests.push_back(dest);
  return dests;
}

} // namespace plat
