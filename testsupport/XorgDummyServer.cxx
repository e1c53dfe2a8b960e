#include "testsupport/XorgDummyServer.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>

namespace testsupport {

namespace {

std::string configText(const XorgDummyServer::Options& options) {
  std::ostringstream s;
  s << "Section \"ServerFlags\"\n"
    << "  Option \"AutoAddDevices\" \"false\"\n"
    << "  Option \"AutoAddGPU\" \"false\"\n"
    << "  Option \"DontVTSwitch\" \"true\"\n"
    << "EndSection\n"
    << "Section \"Device\"\n"
    << "  Identifier \"dummy\"\n"
    << "  Driver \"dummy\"\n"
    // In kB: room for the virtual framebuffer and for tests that grow it.
    << "  VideoRam 256000\n";
  for (size_t i = 0; i < options.outputs.size(); i++)
    s << "  Option \"Monitor-DUMMY" << i << "\" \"mon" << i << "\"\n";
  s << "EndSection\n";
  for (size_t i = 0; i < options.outputs.size(); i++) {
    const XorgDummyServer::Output& output = options.outputs[i];
    s << "Section \"Monitor\"\n"
      << "  Identifier \"mon" << i << "\"\n"
      // Wide ranges, so that every default mode and every mode a test adds
      // passes the driver's validation.
      << "  HorizSync 5.0 - 1000.0\n"
      << "  VertRefresh 5.0 - 200.0\n"
      << "  Option \"Enable\" \"true\"\n"
      << "  Option \"PreferredMode\" \"" << output.mode << "\"\n"
      << "  Option \"Position\" \"" << output.x << " " << output.y << "\"\n"
      << (i == 0 ? "  Option \"Primary\" \"true\"\n" : "") << "EndSection\n";
  }
  s << "Section \"Screen\"\n"
    << "  Identifier \"screen\"\n"
    << "  Device \"dummy\"\n"
    << (options.outputs.empty() ? "" : "  Monitor \"mon0\"\n")
    << "  DefaultDepth 24\n"
    << "  SubSection \"Display\"\n"
    << "    Depth 24\n"
    << "    Virtual " << options.virtualWidth << " " << options.virtualHeight << "\n"
    << "  EndSubSection\n"
    << "EndSection\n"
    << "Section \"ServerLayout\"\n"
    << "  Identifier \"layout\"\n"
    << "  Screen \"screen\"\n"
    << "EndSection\n";
  return s.str();
}

} // namespace

XorgDummyServer::XorgDummyServer(const Options& options) {
  const std::string& dir = makeDir();
  if (!(std::ofstream(dir + "/xorg.conf") << configText(options)) ||
      mkdir((dir + "/xorg.conf.d").c_str(), 0700) != 0)
    throw std::runtime_error("cannot write the configuration in " + dir);
  start({"Xorg", "-noreset", "-nolisten", "tcp", "-novtswitch", "-sharevts", "-config",
         dir + "/xorg.conf", "-configdir", dir + "/xorg.conf.d", "-logfile", dir + "/server.log"},
        options.startDeadline);
  if (options.exportDisplay)
    exportDisplay();
}

} // namespace testsupport
