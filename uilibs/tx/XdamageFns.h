#pragma once

// The DAMAGE client library, loaded at run time ("Xdamage[1]") so that the
// agent runs where it is missing. Call tx::XDamageQueryExtension first: it
// reports the extension absent when the library or any function the agent
// needs is missing. The other wrappers behave like the library functions of
// the same name and throw plat::DynamicFnLoadFailed ("Function <name> not
// found in Xdamage[1] library") when their function is missing.
//
// This header includes the library's own header for its types, and with it
// Xlib: include it only where Xlib is used anyway. Always call the tx::
// names, qualified even inside namespace tx (argument-dependent lookup also
// finds the library's global declaration, so an unqualified call is
// ambiguous); the global functions are not linked.

#include <X11/extensions/Xdamage.h>

namespace tx {

Bool XDamageQueryExtension(Display* dpy, int* eventBase, int* errorBase);
Status XDamageQueryVersion(Display* dpy, int* major, int* minor);
Damage XDamageCreate(Display* dpy, Drawable drawable, int level);
void XDamageDestroy(Display* dpy, Damage damage);
void XDamageSubtract(Display* dpy, Damage damage, XserverRegion repair, XserverRegion parts);

} // namespace tx
