#include "base/plat/LogSrc.h"

#include "base/plat/Format.h"

#include <cstdio>
#include <cstring>

// Interim implementation: errors and status lines go to standard error.
// Bindings, destinations and the "Log" setting replace this.

namespace plat {

namespace {

constexpr int interimMaxLevel = 30;

} // namespace

LogSrc::LogSrc(const char* name) : name_(name) {}

LogSrc::~LogSrc() = default;

void LogSrc::vlog(int level, const char* fmt, va_list args) {
  if (level > interimMaxLevel)
    return;
  write(level, vformat(fmt, args).c_str());
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
  if (level > interimMaxLevel)
    return;
  std::fprintf(stderr, "%s: %s\n", name_, text);
}

void LogSrc::writeLines(int level, const char* text) {
  while (*text) {
    const char* newline = std::strchr(text, '\n');
    size_t length = newline ? size_t(newline - text) : std::strlen(text);
    write(level, std::string(text, length).c_str());
    text += length + (newline ? 1 : 0);
  }
}

} // namespace plat
