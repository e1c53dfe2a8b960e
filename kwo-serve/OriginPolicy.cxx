#include "kwo-serve/OriginPolicy.h"

#include "kwo-serve/Options.h"

#include <algorithm>
#include <cctype>

namespace kwoserve {

namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return text;
}

bool isWildcard(const std::string& address) { return address == "0.0.0.0" || address == "::"; }

} // namespace

OriginPolicy::OriginPolicy(const std::string& listenAddress, int httpPort,
                           const std::vector<std::string>& extraOrigins) {
  std::vector<std::string> hosts;
  if (!isWildcard(listenAddress) && listenAddress != "localhost")
    hosts.push_back(listenAddress.find(':') != std::string::npos ? "[" + listenAddress + "]"
                                                                  : listenAddress);
  if (isWildcard(listenAddress) || Options::isLoopback(listenAddress))
    hosts.insert(hosts.end(), {"localhost", "127.0.0.1", "[::1]"});
  for (const std::string& host : hosts)
    allowed_.push_back(normalise("http://" + host + ":" + std::to_string(httpPort)));
  for (const std::string& origin : extraOrigins)
    allowed_.push_back(normalise(origin));
}

std::string OriginPolicy::normalise(const std::string& origin) {
  std::string text = lower(origin);
  while (!text.empty() && text.back() == '/')
    text.pop_back();
  size_t schemeEnd = text.find("://");
  if (schemeEnd == std::string::npos || schemeEnd == 0)
    return {};
  std::string scheme = text.substr(0, schemeEnd);
  std::string authority = text.substr(schemeEnd + 3);
  if (authority.empty() || authority.find_first_of("/?#@ ") != std::string::npos)
    return {};
  // A port follows the last ':' unless that ':' is inside an IPv6 literal.
  size_t colon = authority.rfind(':');
  bool hasPort = colon != std::string::npos && authority.find(']', colon) == std::string::npos;
  if (!hasPort) {
    if (scheme == "http")
      authority += ":80";
    else if (scheme == "https")
      authority += ":443";
  }
  return scheme + "://" + authority;
}

bool OriginPolicy::allows(const std::optional<std::string>& origin) const {
  if (!origin)
    return true;
  std::string normal = normalise(*origin);
  return !normal.empty() && std::find(allowed_.begin(), allowed_.end(), normal) != allowed_.end();
}

} // namespace kwoserve
