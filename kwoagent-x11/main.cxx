// The per-display agent: launched by the server with a mode word, a pipe
// name and parameter settings; never started by hand.

#include "base/io/Io.h"
#include "base/plat/Exception.h"
#include "base/plat/LogSrc.h"
#include "base/plat/VersionInfo.h"
#include "libs/svr/initAgent.h"

#include <memory>

namespace {

plat::LogSrc programLog("kwoagent-x11");

} // namespace

int main(int argc, char** argv) {
  plat::VersionInfo::record(KWO_VERSION_MAJOR, KWO_VERSION_MINOR, KWO_VERSION_PATCH,
                            KWO_REVISION);
  try {
    std::unique_ptr<io::Io> io = svr::initAgent(argc, argv);
    // NOT BUILT YET: the application loop, the signal handler and the agent
    // application object take the connection from here.
    throw plat::Exception("The agent application is not built yet");
  } catch (const plat::Exception& e) {
    programLog.error("%s", e.str());
    return 1;
  }
}
