// The dead-key description file: the input is written to a file in a
// private directory and read over the built-in tables, once with the
// default element and once with a layout's.
//
// Checks: reading never fails loudly (failures are logged, not thrown), and
// a file can add and replace compositions but never lose one.

#include "base/rfb/DeadKeyUtil.h"
#include "fuzz/support/FuzzEnv.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {


void checkTables(const rfb::DeadKeyUtil& keys, size_t builtInCount) {
  fuzz::require(keys.compositionCount() >= builtInCount, "a file never removes compositions");
  for (const auto& group : rfb::DeadKeyUtil::builtInCompositions())
    for (const rfb::DeadKeyUtil::Composition& c : group)
      fuzz::require(keys.decompose(c.combined).has_value(), "built-in compositions stay known");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::pinLogSetting("");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const size_t builtInCount = rfb::DeadKeyUtil("").compositionCount();
  static const std::string path = fuzz::privateDir() + "/deadkeys.xml";
  fuzz::writeFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
  rfb::DeadKeyUtil plain(path);
  checkTables(plain, builtInCount);
  rfb::DeadKeyUtil layout(path, "de");
  checkTables(layout, builtInCount);
  return 0;
}
