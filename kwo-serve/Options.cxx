#include "kwo-serve/Options.h"

#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "kwo-serve/OriginPolicy.h"

#include <arpa/inet.h>
#include <climits>
#include <cstdlib>

namespace kwoserve {

namespace {

int parseInt(const std::string& option, const std::string& text, int min, int max) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < min || value > max)
    throw plat::Exception(plat::format("%s: '%s' is not a number from %d to %d", option.c_str(),
                                       text.c_str(), min, max));
  return int(value);
}

void parseGeometry(const std::string& text, Options& options) {
  size_t x = text.find('x');
  if (x == std::string::npos)
    throw plat::Exception(plat::format("-geometry: '%s' is not WIDTHxHEIGHT", text.c_str()));
  options.width = parseInt("-geometry", text.substr(0, x), 16, 8192);
  options.height = parseInt("-geometry", text.substr(x + 1), 16, 8192);
}

void parseParam(const std::string& text, Options& options) {
  size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0)
    throw plat::Exception(plat::format("-param: '%s' is not Name=value", text.c_str()));
  options.params.emplace_back(text.substr(0, eq), text.substr(eq + 1));
}

void parseOrigin(const std::string& text, Options& options) {
  if (OriginPolicy::normalise(text).empty())
    throw plat::Exception(plat::format(
        "-wsorigin: '%s' is not an origin such as http://example.net:8080", text.c_str()));
  options.wsOrigins.push_back(text);
}

} // namespace

Options Options::parse(const std::vector<std::string>& args) {
  Options options;
  for (size_t i = 0; i < args.size(); i++) {
    const std::string& arg = args[i];
    if (arg == "-help" || arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    }
    if (arg == "-nopassword") {
      options.noPassword = true;
      continue;
    }
    if (i + 1 >= args.size())
      throw plat::Exception(plat::format("unknown option or missing value: '%s' (try -help)",
                                         arg.c_str()));
    const std::string& value = args[++i];
    if (arg == "-display")
      options.display = value;
    else if (arg == "-listen")
      options.listenAddress = value;
    else if (arg == "-port")
      options.port = parseInt(arg, value, 1, 65535);
    else if (arg == "-wsport")
      options.wsPort = parseInt(arg, value, 1, 65535);
    else if (arg == "-wsorigin")
      parseOrigin(value, options);
    else if (arg == "-maxclients")
      options.maxClients = parseInt(arg, value, 1, 512);
    else if (arg == "-httpdir")
      options.httpDir = value;
    else if (arg == "-httpport")
      options.httpPort = parseInt(arg, value, 1, 65535);
    else if (arg == "-passwordfile")
      options.passwordFile = value;
    else if (arg == "-param")
      parseParam(value, options);
    else if (arg == "-loglevel")
      options.agentLogLevel = parseInt(arg, value, 0, 1000);
    else if (arg == "-agent")
      options.agentPath = value;
    else if (arg == "-geometry")
      parseGeometry(value, options);
    else if (arg == "-depth")
      options.depth = parseInt(arg, value, 8, 32);
    else if (arg == "-desktop")
      options.desktopName = value;
    else
      throw plat::Exception(plat::format("unknown option '%s' (try -help)", arg.c_str()));
  }
  if (options.depth != 8 && options.depth != 16 && options.depth != 24)
    throw plat::Exception("-depth: use 8, 16 or 24");
  return options;
}

const char* Options::usage() {
  return "Usage: kwo-serve [options]\n"
         "Serves an X display to RFB viewers through kwoagent-x11.\n"
         "  -display NAME       serve this existing display (default: $DISPLAY;\n"
         "                      with neither, a virtual display is started)\n"
         "  -geometry WxH       size of the virtual display (1024x768)\n"
         "  -depth N            depth of the virtual display (24; 8, 16 or 24)\n"
         "  -listen ADDR        address to listen on (127.0.0.1)\n"
         "  -port N             RFB port (5900)\n"
         "  -httpdir DIR        serve DIR over HTTP (e.g. noVNC's files); WebSocket\n"
         "                      viewers are accepted on that port too\n"
         "  -httpport N         port for -httpdir (5800)\n"
         "  -wsport N           a port for WebSocket viewers only\n"
         "  -wsorigin ORIGIN    also let web pages from ORIGIN (e.g.\n"
         "                      https://example.net) open a WebSocket (repeatable);\n"
         "                      kwo-serve's own HTTP pages and native clients\n"
         "                      are always allowed\n"
         "  -passwordfile FILE  viewers' passwords, one a line (only the first 8\n"
         "                      characters count); FILE must be yours, mode 600.\n"
         "                      Without it a random password is generated and\n"
         "                      the file holding it is printed\n"
         "  -nopassword         no password at all (only with a loopback -listen)\n"
         "  -maxclients N       viewers at once, RFB and WebSocket (32)\n"
         "  -param Name=value   agent parameter (repeatable)\n"
         "  -loglevel N         agent log level (30)\n"
         "  -agent PATH         the kwoagent-x11 program\n"
         "  -desktop NAME       desktop name shown to viewers (kwo-serve)\n";
}

bool Options::isLoopback(const std::string& address) {
  if (address == "localhost")
    return true;
  in_addr v4;
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1)
    return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6;
  if (inet_pton(AF_INET6, address.c_str(), &v6) == 1)
    return IN6_IS_ADDR_LOOPBACK(&v6);
  return false;
}

void Options::checkSafety() const {
  if (noPassword && passwordFile)
    throw plat::Exception("-nopassword and -passwordfile contradict each other");
  if (noPassword && !isLoopback(listenAddress))
    throw plat::Exception(plat::format(
        "refusing to listen on %s without a password: other machines could take over the "
        "desktop (drop -nopassword, or listen on 127.0.0.1)",
        listenAddress.c_str()));
}

} // namespace kwoserve
