#include "kwo-serve/Options.h"

#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "kwo-serve/OriginPolicy.h"

#include <algorithm>
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

const std::vector<Options::Spec>& Options::table() {
  using O = Options;
  using V = const std::string&;
  static const std::vector<Spec> specs{
      {"-help", false, [](O& o, V) { o.help = true; }},
      {"--help", false, [](O& o, V) { o.help = true; }},
      {"-h", false, [](O& o, V) { o.help = true; }},
      {"-display", true, [](O& o, V v) {
         if (v.empty())
           throw plat::Exception("-display: no display named (is DISPLAY set?)");
         o.display = v;
       }},
      {"-geometry", true, [](O& o, V v) { parseGeometry(v, o); }},
      {"-depth", true, [](O& o, V v) { o.depth = parseInt("-depth", v, 8, 32); }},
      {"-listen", true, [](O& o, V v) { o.listenAddress = v; }},
      {"-port", true, [](O& o, V v) { o.port = parseInt("-port", v, 1, 65535); }},
      {"-httpdir", true, [](O& o, V v) { o.httpDir = v; }},
      {"-httpport", true, [](O& o, V v) { o.httpPort = parseInt("-httpport", v, 1, 65535); }},
      {"-wsport", true, [](O& o, V v) { o.wsPort = parseInt("-wsport", v, 1, 65535); }},
      {"-wsorigin", true, [](O& o, V v) { parseOrigin(v, o); }},
      {"-passwordfile", true, [](O& o, V v) { o.passwordFile = v; }},
      {"-nopassword", false, [](O& o, V) { o.noPassword = true; }},
      {"-maxclients", true, [](O& o, V v) { o.maxClients = parseInt("-maxclients", v, 1, 512); }},
      {"-param", true, [](O& o, V v) { parseParam(v, o); }},
      {"-loglevel", true, [](O& o, V v) { o.agentLogLevel = parseInt("-loglevel", v, 0, 1000); }},
      {"-agent", true, [](O& o, V v) { o.agentPath = v; }},
      {"-desktop", true, [](O& o, V v) { o.desktopName = v; }},
  };
  return specs;
}

Options Options::parse(const std::vector<std::string>& args) {
  Options options;
  for (size_t i = 0; i < args.size(); i++) {
    const std::string& arg = args[i];
    auto spec = std::find_if(table().begin(), table().end(),
                             [&](const Spec& s) { return arg == s.name; });
    if (spec == table().end())
      throw plat::Exception(plat::format("unknown option '%s' (try -help)", arg.c_str()));
    if (spec->takesValue && i + 1 >= args.size())
      throw plat::Exception(plat::format("%s needs a value (try -help)", arg.c_str()));
    spec->apply(options, spec->takesValue ? args[++i] : std::string());
  }
  if (options.depth != 8 && options.depth != 16 && options.depth != 24)
    throw plat::Exception("-depth: use 8, 16 or 24");
  return options;
}

const char* Options::usage() {
  return "Usage: kwo-serve [options]\n"
         "Serves an X display to RFB viewers through kwoagent-x11, and prints where,\n"
         "with the password and the commands that connect.\n"
         "  -display NAME       serve this existing display (default: $DISPLAY;\n"
         "                      with neither, a virtual display is started)\n"
         "  -geometry WxH       starting size of the virtual display (1024x768);\n"
         "                      viewers may resize it up to 3840x2160\n"
         "  -depth N            depth of the virtual display (24; 8, 16 or 24)\n"
         "  -listen ADDR        address to listen on (127.0.0.1)\n"
         "  -port N             RFB port (5900)\n"
         "  -httpdir DIR        serve DIR over HTTP (default: noVNC's files in\n"
         "                      /usr/share/novnc when present); WebSocket viewers\n"
         "                      are accepted on that port too\n"
         "  -httpport N         HTTP port (100 below the RFB port: 5800)\n"
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
         "  -agent PATH         the kwoagent-x11 program (default: beside kwo-serve,\n"
         "                      or in ../libexec)\n"
         "  -desktop NAME       desktop name shown to viewers (kwo-serve)\n"
         "  -help, --help, -h   this text\n";
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
