#include "libs/svr/RandrSupport.h"

#include "base/plat/Exception.h"
#include "base/plat/LogSrc.h"
#include "uilibs/tx/TXUtil.h"
#include "uilibs/tx/XrandrFns.h"

#include <mutex>

namespace svr {

namespace {

plat::LogSrc vlog("Randr");

bool check(bool log) {
  Display* dpy = tx::display();
  int eventBase = 0;
  int errorBase = 0;
  int major = 0;
  int minor = 0;
  bool answered = false;
  try {
    answered = dpy && tx::XRRQueryExtension(dpy, &eventBase, &errorBase) &&
               tx::XRRQueryVersion(dpy, &major, &minor);
  } catch (const plat::Exception&) {
    answered = false;
  }
  if (!answered) {
    if (log)
      vlog.error("XRandr disabled / not present - display mode setting disabled");
    return false;
  }
  vlog.status("XRandr extension present - version %d.%d", major, minor);
  if (RandrSupport::versionUsable(major, minor))
    return true;
  if (log)
    vlog.error("XRandr version 1.2 or greater is required - display mode setting disabled");
  return false;
}

} // namespace

bool RandrSupport::supported(bool log) {
  static std::once_flag once;
  static bool answer = false;
  std::call_once(once, [log] { answer = check(log); });
  return answer;
}

bool RandrSupport::versionUsable(int major, int minor) {
  return major > 1 || (major == 1 && minor >= 2);
}

} // namespace svr
