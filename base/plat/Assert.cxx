#include "base/plat/Assert.h"

#include "base/plat/LogSrc.h"

#include <cstdlib>
#include <execinfo.h>
#include <string>

namespace plat {

namespace {

LogSrc vlog("Assert");

std::string stackTrace() {
  void* frames[64];
  int count = backtrace(frames, 64);
  char** symbols = backtrace_symbols(frames, count);
  std::string trace;
  for (int i = 0; symbols && i < count; i++) {
    trace += "\n  ";
    trace += symbols[i];
  }
  std::free(symbols);
  return trace;
}

} // namespace

void assertionFailed(const char* condition, const char* file, int line) {
  vlog.error("Assertion '%s' failed at %s:%d", condition, file, line);
  vlog.error("stacktrace: %s", stackTrace().c_str());
  std::abort();
}

} // namespace plat
