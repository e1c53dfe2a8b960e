#include "kwo-serve/RequestHead.h"

#include "base/plat/CaseInsensitive.h"

#include <sstream>

namespace kwoserve {

namespace {

std::string trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos)
    return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

} // namespace

std::string RequestHead::word(int index) const {
  std::istringstream line(text_.substr(0, text_.find("\r\n")));
  std::string word;
  for (int i = 0; i <= index; i++)
    if (!(line >> word))
      return {};
  return word;
}

std::optional<std::string> RequestHead::header(const std::string& name) const {
  size_t start = text_.find("\r\n");
  while (start != std::string::npos) {
    start += 2;
    size_t end = text_.find("\r\n", start);
    std::string line = text_.substr(start, end == std::string::npos ? std::string::npos
                                                                     : end - start);
    size_t colon = line.find(':');
    if (colon != std::string::npos && plat::equalsIgnoreCase(line.substr(0, colon), name))
      return trimmed(line.substr(colon + 1));
    start = end;
  }
  return std::nullopt;
}

bool RequestHead::isWebSocketUpgrade() const {
  std::optional<std::string> upgrade = header("Upgrade");
  return method() == "GET" && upgrade && plat::equalsIgnoreCase(*upgrade, "websocket");
}

} // namespace kwoserve
