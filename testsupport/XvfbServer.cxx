#include "testsupport/XvfbServer.h"

namespace testsupport {

XvfbServer::XvfbServer(const Options& options) {
  std::vector<std::string> args = {
    "Xvfb", "-screen", "0",
    std::to_string(options.width) + "x" + std::to_string(options.height) + "x" +
      std::to_string(options.depth),
    "-nolisten", "tcp", "-noreset",
  };
  for (const std::string& extension : options.disabledExtensions)
    args.insert(args.end(), {"-extension", extension});
  args.insert(args.end(), options.extraArguments.begin(), options.extraArguments.end());
  start(args, std::chrono::seconds(60));
  if (options.exportDisplay)
    exportDisplay();
}

XvfbServer& XvfbServer::shared() {
  static XvfbServer server([] {
    Options options;
    options.exportDisplay = true;
    return options;
  }());
  return server;
}

} // namespace testsupport
