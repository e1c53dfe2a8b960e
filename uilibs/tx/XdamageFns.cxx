#include "uilibs/tx/XdamageFns.h"

#include "uilibs/tx/ImportedFn.h"

namespace tx {

namespace {

const char* const librarySpec = "Xdamage[1]";

TX_IMPORTED_FN(librarySpec, XDamageQueryExtension)
TX_IMPORTED_FN(librarySpec, XDamageQueryVersion)
TX_IMPORTED_FN(librarySpec, XDamageCreate)
TX_IMPORTED_FN(librarySpec, XDamageDestroy)
TX_IMPORTED_FN(librarySpec, XDamageSubtract)

} // namespace

Bool XDamageQueryExtension(Display* dpy, int* eventBase, int* errorBase) {
  if (!allImported({&loader_XDamageQueryExtension(), &loader_XDamageQueryVersion(),
                    &loader_XDamageCreate(), &loader_XDamageDestroy(),
                    &loader_XDamageSubtract()}))
    return False;
  return TX_CALL_IMPORTED(XDamageQueryExtension, dpy, eventBase, errorBase);
}

Status XDamageQueryVersion(Display* dpy, int* major, int* minor) {
  return TX_CALL_IMPORTED(XDamageQueryVersion, dpy, major, minor);
}

Damage XDamageCreate(Display* dpy, Drawable drawable, int level) {
  return TX_CALL_IMPORTED(XDamageCreate, dpy, drawable, level);
}

void XDamageDestroy(Display* dpy, Damage damage) {
  TX_CALL_IMPORTED(XDamageDestroy, dpy, damage);
}

void XDamageSubtract(Display* dpy, Damage damage, XserverRegion repair, XserverRegion parts) {
  TX_CALL_IMPORTED(XDamageSubtract, dpy, damage, repair, parts);
}

} // namespace tx
