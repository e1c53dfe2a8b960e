#pragma once

// Definitions shared by the wrappers of run-time loaded X extension
// libraries (XdamageFns, XfixesFns, XrandrFns). Source files only.

#include "base/plat/DynamicFn.h"

#include <initializer_list>

// Defines loader_<fn>(): the DynamicFn of `fn` in the library `spec`,
// searched on first use (thread-safe) and kept until the process exits.
#define TX_IMPORTED_FN(spec, fn)                        \
  plat::DynamicFn& loader_##fn() {                      \
    static plat::DynamicFn loader(spec, #fn);           \
    return loader;                                      \
  }

// Calls the imported `fn` with the arguments of the library function of the
// same name; throws plat::DynamicFnLoadFailed when it was not found.
#define TX_CALL_IMPORTED(fn, ...) loader_##fn().require<decltype(&::fn)>()(__VA_ARGS__)

namespace tx {

inline bool allImported(std::initializer_list<const plat::DynamicFn*> loaders) {
  for (const plat::DynamicFn* loader : loaders) {
    if (!loader->found())
      return false;
  }
  return true;
}

} // namespace tx
