// kwo-serve: serves an X display to RFB viewers through kwoagent-x11.

#include "base/plat/Exception.h"
#include "base/plat/LogSetting.h"
#include "kwo-serve/Options.h"
#include "kwo-serve/ServeApp.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  plat::initLogging("kwo-serve", "*:stderr:30");
  plat::endStartup();
  try {
    kwoserve::Options options =
        kwoserve::Options::parse(std::vector<std::string>(argv + 1, argv + argc));
    if (options.help) {
      fputs(kwoserve::Options::usage(), stdout);
      return 0;
    }
    kwoserve::ServeApp app(options);
    return app.run();
  } catch (const plat::Exception& e) {
    fprintf(stderr, "kwo-serve: %s\n", e.str());
    return 1;
  }
}
