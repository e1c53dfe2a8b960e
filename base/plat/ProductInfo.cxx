#include "base/plat/ProductInfo.h"

#include "base/plat/TextWrap.h"
#include "base/plat/VersionInfo.h"

#include <mutex>

namespace plat {

namespace {

constexpr size_t width = 79;

constexpr const char* summary =
  "the desktop agent of the KWO remote-desktop server for one X11 display. It captures the "
  "screen into shared memory, injects keyboard and pointer input, follows the cursor and "
  "bridges the clipboard on behalf of the server process that launches it.";

struct Identity {
  std::mutex lock;
  std::string name = "kwoagent-x11";
};

Identity& identity() {
  static Identity instance;
  return instance;
}

} // namespace

void ProductInfo::setProgramName(const std::string& name) {
  Identity& id = identity();
  std::lock_guard<std::mutex> hold(id.lock);
  id.name = name;
}

std::string ProductInfo::programName() {
  Identity& id = identity();
  std::lock_guard<std::mutex> hold(id.lock);
  return id.name;
}

std::string ProductInfo::text() {
  std::string version = VersionInfo::display();
  std::string text = programName() + " - " + summary + "\n";
  text += "Version " + (version.empty() ? std::string("unknown") : version);
  return wrapText(text, width);
}

} // namespace plat
