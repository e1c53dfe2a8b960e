#pragma once

// Internal consistency checks. A failed check logs
// "Assertion '<condition>' failed at <file>:<line>" and a stack trace, then
// ends the process: the state can no longer be trusted.

namespace plat {

[[noreturn]] void assertionFailed(const char* condition, const char* file, int line);

} // namespace plat

#define PLAT_ASSERT(condition) \
  ((condition) ? (void)0 : ::plat::assertionFailed(#condition, __FILE__, __LINE__))
