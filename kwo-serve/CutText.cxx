#include "kwo-serve/CutText.h"

#include "base/plat/Latin1.h"

namespace kwoserve {

std::string CutText::latin1ToUtf8(std::string_view latin1) {
  std::string lines;
  lines.reserve(latin1.size());
  for (size_t i = 0; i < latin1.size(); i++) {
    if (latin1[i] != '\r') {
      lines += latin1[i];
      continue;
    }
    lines += '\n';
    if (i + 1 < latin1.size() && latin1[i + 1] == '\n')
      i++;
  }
  return plat::latin1ToUtf8(lines);
}

} // namespace kwoserve
