#include "libs/svr/CaptureExtensions.h"

#include "base/plat/Exception.h"
#include "base/plat/LogSrc.h"
#include "libs/svr/RandrSupport.h"
#include "libs/svr/XTestAvailability.h"
#include "uilibs/tx/XdamageFns.h"
#include "uilibs/tx/XfixesFns.h"

namespace svr {

namespace {

bool queryXTest(Display* dpy, plat::LogSrc& log) {
  if (!XTestAvailability::present(dpy)) {
    log.error("XTest extension not present - unable to inject events or display while server "
              "is grabbed");
    return false;
  }
  log.status("XTest extension present - version %d.%d", XTestAvailability::majorVersion(),
             XTestAvailability::minorVersion());
  return true;
}

// The client library's guard says whether the library and the functions we
// need were found; the version query then tells the server which protocol
// we speak, which XFIXES and DAMAGE require before any other request.
CaptureExtensions::Extension queryXFixes(Display* dpy, plat::LogSrc& log, bool useXFixes) {
  CaptureExtensions::Extension ext;
  try {
    if (useXFixes && dpy && tx::XFixesQueryExtension(dpy, &ext.eventBase, &ext.errorBase) &&
        tx::XFixesQueryVersion(dpy, &ext.major, &ext.minor))
      ext.present = true;
  } catch (const plat::Exception& e) {
    log.error("%s", e.str());
  }
  if (!ext.present) {
    log.error("XFixes disabled / not present - unable to track cursor changes");
    return {};
  }
  log.status("XFixes extension present - version %d.%d", ext.major, ext.minor);
  return ext;
}

CaptureExtensions::Extension queryXDamage(Display* dpy, plat::LogSrc& log, bool xfixes) {
  CaptureExtensions::Extension ext;
  try {
    if (xfixes && tx::XDamageQueryExtension(dpy, &ext.eventBase, &ext.errorBase) &&
        tx::XDamageQueryVersion(dpy, &ext.major, &ext.minor))
      ext.present = true;
  } catch (const plat::Exception& e) {
    log.error("%s", e.str());
  }
  if (!ext.present) {
    log.error("XDamage disabled / not present - unable to optimize capture");
    return {};
  }
  log.status("XDamage extension present - version %d.%d", ext.major, ext.minor);
  return ext;
}

} // namespace

CaptureExtensions CaptureExtensions::discover(Display* dpy, plat::LogSrc& log, bool useXFixes) {
  CaptureExtensions found;
  found.randr = dpy && RandrSupport::supported(true);
  found.xtest = queryXTest(dpy, log);
  found.xfixes = queryXFixes(dpy, log, useXFixes);
  found.xdamage = queryXDamage(dpy, log, found.xfixes.present);
  return found;
}

} // namespace svr
