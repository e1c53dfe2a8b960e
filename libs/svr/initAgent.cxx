#include "libs/svr/initAgent.h"

#include "base/io/Io.h"
#include "base/loc/Catalogue.h"
#include "base/os/LaunchedProcessPipe.h"
#include "base/plat/CaseInsensitive.h"
#include "base/plat/Configuration.h"
#include "base/plat/Exception.h"
#include "base/plat/LogSetting.h"
#include "base/plat/ProductInfo.h"
#include "base/plat/XmlParamFilter.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <string>

namespace svr {

namespace {

// Everything goes to the server, which decides what it wants to receive.
constexpr const char* agentLogSetting = "*:ipc:200";

// Blocks from this size on are mapped on their own.
constexpr int largeBlockBytes = 1 << 20;

// The server's parameter document leaves out one parameter that it
// describes itself.
class ParamsXmlFilter : public plat::XmlParamFilter {
public:
  bool accept(const char* name, const char*, bool) const override {
    return !plat::equalsIgnoreCase(name, "ppmm");
  }
};

std::string programName(const char* argv0) {
  if (!argv0 || !*argv0)
    return "kwoagent-x11";
  const char* slash = std::strrchr(argv0, '/');
  return slash && slash[1] ? slash + 1 : argv0;
}

void initPlatform(int argc, char** argv) {
  plat::ProductInfo::setProgramName(programName(argc > 0 ? argv[0] : nullptr));
}

// Clipboard texts of tens of MB come and go. glibc's threshold for mapping
// a block on its own rises with the largest block freed, so that the next
// texts come from the heap, which keeps what they freed resident for good.
// Mapped blocks go back to the system when freed.
void returnLargeBlocksWhenFreed() {
  mallopt(M_MMAP_THRESHOLD, largeBlockBytes);
}

bool isModeWord(const char* word) {
  for (const char* mode : {"service", "user", "virtual"}) {
    if (std::strcmp(word, mode) == 0)
      return true;
  }
  return false;
}

// The server always passes one of the mode words; anything else means a
// person started the program by hand.
void requireModeWord(int argc, char** argv) {
  if (argc > 1 && isModeWord(argv[1]))
    return;
  std::fprintf(stderr, "%s\n", loc::text("plat_this_program_not_directly").c_str());
  std::exit(1);
}

void writeParamsXmlIfAsked(int argc, char** argv) {
  if (argc <= 2 || std::strcmp(argv[2], "-paramsxml") != 0)
    return;
  ParamsXmlFilter filter;
  std::string xml =
    plat::Configuration::writeXml(plat::Configuration::global(), true, true, &filter);
  bool written = std::fwrite(xml.data(), 1, xml.size(), stdout) == xml.size();
  written = std::fflush(stdout) == 0 && written;
  // A truncated document must not look like a complete one to the server.
  if (!written) {
    std::fprintf(stderr, "%s: writing the parameter document failed: %s\n",
                 plat::ProductInfo::programName().c_str(), std::strerror(errno));
    std::exit(1);
  }
  std::exit(0);
}

void initAgentLogging() {
  std::string banner = plat::ProductInfo::text();
  plat::initLogging(plat::ProductInfo::programName().c_str(), agentLogSetting, banner.c_str());
}

// Connects back to the server over the launched-process pipe named from
// argv[first] on, and sets next to the first argument it did not consume.
// Failures are written to standard error by the pipe and thrown.
std::unique_ptr<io::Io> connectToServer(int argc, char** argv, int first, int& next) {
  os::LaunchedProcessPipe pipe;
  next = first;
  return pipe.connect(argc, argv, next, 0);
}

// A bad setting is reported here, on standard error, because the log only
// reaches the server once the agent is fully running.
void applyCommandLine(int argc, char** argv, int first) {
  try {
    plat::Configuration::global().parseCommandLine(argc - first, argv + first,
                                                   plat::Configuration::usageHandler);
  } catch (const plat::Exception& e) {
    std::fprintf(stderr, "%s\n", e.str());
    std::exit(1);
  }
}

} // namespace

std::unique_ptr<io::Io> initAgent(int argc, char** argv) {
  initPlatform(argc, argv);
  returnLargeBlocksWhenFreed();
  requireModeWord(argc, argv);
  writeParamsXmlIfAsked(argc, argv);
  initAgentLogging();
  int next = 2;
  std::unique_ptr<io::Io> io = connectToServer(argc, argv, 2, next);
  applyCommandLine(argc, argv, next);
  return io;
}

} // namespace svr
