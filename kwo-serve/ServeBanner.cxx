#include "kwo-serve/ServeBanner.h"

#include "base/plat/Format.h"

#include <cctype>

namespace kwoserve {

namespace {

// For a URL fragment: letters and digits as they are, the rest %XX.
std::string percentEncoded(const std::string& text) {
  std::string out;
  for (unsigned char c : text)
    out += isalnum(c) ? std::string(1, char(c)) : plat::format("%%%02X", c);
  return out;
}

} // namespace

std::string ServeBanner::hostFor(const std::string& listenAddress) {
  // Wildcards listen on loopback too.
  if (listenAddress == "0.0.0.0" || listenAddress == "::")
    return "127.0.0.1";
  if (listenAddress.find(':') != std::string::npos)
    return "[" + listenAddress + "]";
  return listenAddress;
}

std::string ServeBanner::text() const {
  std::string host = hostFor(listenAddress);
  std::string target = plat::format("%s::%d", host.c_str(), port);
  std::string passwd = vncPasswordFile.empty() ? "" : "-passwd " + vncPasswordFile + " ";
  std::string out = plat::format("kwo-serve: serving display %s to viewers\n", display.c_str());
  out += plat::format("  RFB:         %s (port %d)\n", target.c_str(), port);
  if (httpPort)
    out += plat::format("  HTTP:        http://%s:%d/ (browser viewers)\n", host.c_str(), *httpPort);
  out += password.empty() ? "  password:    none\n"
                          : "  password:    in " + passwordFile + "\n";
  out += "  viewer:      vncviewer " + passwd + target + "\n";
  out += "  snapshot:    vncsnapshot " + passwd + target + " shot.jpg\n";
  if (httpPort && noVncPage) {
    std::string url = plat::format("http://%s:%d/vnc.html#autoconnect=1&resize=remote",
                                   host.c_str(), *httpPort);
    if (!password.empty() && passwordInUrl)
      url += "&password=" + percentEncoded(password);
    out += "  browser:     " + url + "\n";
  }
  return out;
}

} // namespace kwoserve
