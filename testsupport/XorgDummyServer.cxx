#include "testsupport/XorgDummyServer.h"

#include <fstream>
#include <stdexcept>
#include <sys/stat.h>

namespace testsupport {

XorgDummyServer::XorgDummyServer(const Options& options) {
  std::string monitors, outputs;
  for (size_t i = 0; i < options.outputs.size(); i++) {
    const Output& output = options.outputs[i];
    std::string name = "mon" + std::to_string(i);
    outputs += "  Option \"Monitor-DUMMY" + std::to_string(i) + "\" \"" + name + "\"\n";
    // Wide ranges, so that every default mode and every mode a test adds
    // passes the driver's validation.
    monitors += "Section \"Monitor\"\n  Identifier \"" + name + "\"\n" +
                "  HorizSync 5.0 - 1000.0\n  VertRefresh 5.0 - 200.0\n" +
                "  Option \"Enable\" \"true\"\n  Option \"PreferredMode\" \"" + output.mode +
                "\"\n  Option \"Position\" \"" + std::to_string(output.x) + " " +
                std::to_string(output.y) + "\"\n" +
                (i == 0 ? "  Option \"Primary\" \"true\"\n" : "") + "EndSection\n";
  }
  const std::string& dir = this->dir();
  std::ofstream config(dir + "/xorg.conf");
  // VideoRam in kB: room for the virtual framebuffer and for tests that grow it.
  config << "Section \"ServerFlags\"\n  Option \"AutoAddDevices\" \"false\"\n"
         << "  Option \"AutoAddGPU\" \"false\"\n  Option \"DontVTSwitch\" \"true\"\nEndSection\n"
         << "Section \"Device\"\n  Identifier \"dummy\"\n  Driver \"dummy\"\n  VideoRam 256000\n"
         << outputs << "EndSection\n"
         << monitors
         << "Section \"Screen\"\n  Identifier \"screen\"\n  Device \"dummy\"\n"
         << (outputs.empty() ? "" : "  Monitor \"mon0\"\n")
         << "  DefaultDepth 24\n  SubSection \"Display\"\n    Depth 24\n"
         // Xorg's first framebuffer: the screen is resized to the outputs'
         // bounding box anyway, and RandR may grow it up to 32767.
         << "    Virtual 4096 2048\n"
         << "  EndSubSection\nEndSection\n"
         << "Section \"ServerLayout\"\n  Identifier \"layout\"\n  Screen \"screen\"\nEndSection\n";
  if (!config.flush() || mkdir((dir + "/xorg.conf.d").c_str(), 0700) != 0)
    throw std::runtime_error("cannot write the configuration in " + dir);
  start({"Xorg", "-noreset", "-nolisten", "tcp", "-novtswitch", "-sharevts", "-config",
         dir + "/xorg.conf", "-configdir", dir + "/xorg.conf.d", "-logfile", dir + "/server.log"},
        std::chrono::seconds(60));
}

} // namespace testsupport
