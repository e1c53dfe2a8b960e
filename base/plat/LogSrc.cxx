#include "base/plat/LogSrc.h"

#include "base/plat/Assert.h"
#include "base/plat/CaseInsensitive.h"
#include "base/plat/LogDest.h"
#include "base/plat/LogDestMem.h"
#include "base/plat/LogEscape.h"
#include "base/plat/LogSetting.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace plat {

namespace {

// The list is constant-initialised: sources are built during static
// initialisation, in no particular order across files.
constinit std::mutex listMutex;
constinit LogSrc* listHead = nullptr;

// Bindings are read by every thread that logs and rebuilt on the loop
// thread; writers hold the shared lock for the whole delivery. Lock order:
// bindings before the list.
std::shared_mutex& bindingsMutex() {
  static std::shared_mutex mutex;
  return mutex;
}

} // namespace

LogSrc::LogSrc(const char* name) : name_(name), constructed_(true) {
  std::lock_guard lock(listMutex);
  next_ = listHead;
  listHead = this;
}

LogSrc::~LogSrc() {
  std::lock_guard lock(listMutex);
  for (LogSrc** link = &listHead; *link; link = &(*link)->next_) {
    if (*link == this) {
      *link = next_;
      break;
    }
  }
}

void LogSrc::checkConstructed() const {
  if (constructed_)
    return;
  // The assertion itself logs; if its own source is the unconstructed one,
  // report directly instead of recursing.
  static thread_local bool failing = false;
  if (failing) {
    std::fputs("Assertion 'constructed' failed\n", stderr);
    std::abort();
  }
  failing = true;
  assertionFailed("constructed", __FILE__, __LINE__);
}

bool LogSrc::filteredOut(int level) const {
  return !isLogStartup() && level > this->level();
}

void LogSrc::vlog(int level, const char* fmt, va_list args) {
  checkConstructed();
  if (filteredOut(level))
    return;
  char buffer[maxMessageLength];
  std::vsnprintf(buffer, sizeof(buffer), fmt, args);
  deliver(level, buffer);
}

void LogSrc::error(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  vlog(levelError, fmt, args);
  va_end(args);
}

void LogSrc::status(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  vlog(levelStatus, fmt, args);
  va_end(args);
}

void LogSrc::info(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  vlog(levelInfo, fmt, args);
  va_end(args);
}

void LogSrc::debug(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  vlog(levelDebug, fmt, args);
  va_end(args);
}

void LogSrc::write(int level, const char* text) {
  checkConstructed();
  if (filteredOut(level))
    return;
  size_t length = strnlen(text, maxMessageLength - 1);
  if (text[length] == '\0') {
    deliver(level, text);
    return;
  }
  deliver(level, std::string(text, length).c_str());
}

void LogSrc::writeLines(int level, const char* text) {
  checkConstructed();
  if (filteredOut(level))
    return;
  while (*text) {
    const char* newline = std::strchr(text, '\n');
    size_t length = newline ? size_t(newline - text) : std::strlen(text);
    write(level, std::string(text, length).c_str());
    text += length + (newline ? 1 : 0);
  }
}

void LogSrc::deliver(int level, const char* text) {
  bool startup = isLogStartup();
  std::string escaped;
  if (logTextNeedsEscape(text)) {
    escaped = escapeLogText(text);
    text = escaped.c_str();
  }
  bool taken = false;
  {
    std::shared_lock lock(bindingsMutex());
    if (!startup && bindings_.empty())
      return;
    for (auto [dest, bindingLevel] : bindings_) {
      if (!dest->isActive() || bindingLevel < level)
        continue;
      dest->write(level, name_, text);
      taken = true;
    }
  }
  // After start-up nobody will replay the store, so undelivered messages go.
  if (!taken && startup)
    LogDestMem::instance().write(level, name_, text);
}

void LogSrc::updateLevel() {
  std::shared_lock lock(bindingsMutex());
  int level = -1;
  for (auto [dest, bindingLevel] : bindings_)
    level = std::max(level, std::min(bindingLevel, dest->level()));
  level_.store(level, std::memory_order_relaxed);
}

LogSrc::Bindings LogSrc::bindings() const {
  std::shared_lock lock(bindingsMutex());
  return bindings_;
}

void LogSrc::replaceBindings(const std::function<void(LogSrc&, Bindings&)>& fill) {
  std::unique_lock bindingsLock(bindingsMutex());
  std::lock_guard lock(listMutex);
  for (LogSrc* src = listHead; src; src = src->next_) {
    src->bindings_.clear();
    fill(*src, src->bindings_);
  }
}

std::vector<LogSrc*> LogSrc::all() {
  std::lock_guard lock(listMutex);
  std::vector<LogSrc*> sources;
  for (LogSrc* src = listHead; src; src = src->next_)
    sources.push_back(src);
  return sources;
}

void LogSrc::updateAllLevels() {
  for (LogSrc* src : all())
    src->updateLevel();
}

void LogSrc::forgetDest(LogDest* dest) {
  {
    std::unique_lock bindingsLock(bindingsMutex());
    std::lock_guard lock(listMutex);
    for (LogSrc* src = listHead; src; src = src->next_)
      src->bindings_.erase(dest);
  }
  updateAllLevels();
}

void LogSrc::listSources(int width, std::FILE* out) {
  std::vector<std::string> names;
  for (LogSrc* src : all())
    names.emplace_back(src->name_);
  std::sort(names.begin(), names.end(), LessIgnoreCase());
  names.erase(std::unique(names.begin(), names.end(), equalsIgnoreCase), names.end());

  int column = 0;
  for (size_t i = 0; i < names.size(); i++) {
    int length = int(names[i].size());
    bool last = i + 1 == names.size();
    if (i > 0) {
      // The name, a following comma and the separator must fit.
      if (column + 2 + length + (last ? 0 : 1) > width) {
        std::fputs(",\n  ", out);
        column = 2;
      } else {
        std::fputs(", ", out);
        column += 2;
      }
    }
    std::fputs(names[i].c_str(), out);
    column += length;
  }
  std::fputs("\n", out);
}

} // namespace plat
