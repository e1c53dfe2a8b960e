#include "uilibs/tx/XfixesFns.h"

#include "uilibs/tx/ImportedFn.h"

namespace tx {

namespace {

const char* const librarySpec = "Xfixes[3,2,1]";

TX_IMPORTED_FN(librarySpec, XFixesQueryExtension)
TX_IMPORTED_FN(librarySpec, XFixesQueryVersion)
TX_IMPORTED_FN(librarySpec, XFixesSelectSelectionInput)
TX_IMPORTED_FN(librarySpec, XFixesSelectCursorInput)
TX_IMPORTED_FN(librarySpec, XFixesGetCursorImage)
TX_IMPORTED_FN(librarySpec, XFixesCreateRegion)
TX_IMPORTED_FN(librarySpec, XFixesDestroyRegion)
TX_IMPORTED_FN(librarySpec, XFixesFetchRegionAndBounds)
TX_IMPORTED_FN(librarySpec, XFixesSetGCClipRegion)
TX_IMPORTED_FN(librarySpec, XFixesSetWindowShapeRegion)

} // namespace

Bool XFixesQueryExtension(Display* dpy, int* eventBase, int* errorBase) {
  if (!allImported({&loader_XFixesQueryExtension(), &loader_XFixesQueryVersion(),
                    &loader_XFixesSelectSelectionInput(), &loader_XFixesSelectCursorInput(),
                    &loader_XFixesGetCursorImage()}))
    return False;
  return TX_CALL_IMPORTED(XFixesQueryExtension, dpy, eventBase, errorBase);
}

Status XFixesQueryVersion(Display* dpy, int* major, int* minor) {
  return TX_CALL_IMPORTED(XFixesQueryVersion, dpy, major, minor);
}

void XFixesSelectSelectionInput(Display* dpy, Window window, Atom selection,
                                unsigned long eventMask) {
  TX_CALL_IMPORTED(XFixesSelectSelectionInput, dpy, window, selection, eventMask);
}

void XFixesSelectCursorInput(Display* dpy, Window window, unsigned long eventMask) {
  TX_CALL_IMPORTED(XFixesSelectCursorInput, dpy, window, eventMask);
}

XFixesCursorImage* XFixesGetCursorImage(Display* dpy) {
  return TX_CALL_IMPORTED(XFixesGetCursorImage, dpy);
}

XserverRegion XFixesCreateRegion(Display* dpy, XRectangle* rectangles, int count) {
  return TX_CALL_IMPORTED(XFixesCreateRegion, dpy, rectangles, count);
}

void XFixesDestroyRegion(Display* dpy, XserverRegion region) {
  TX_CALL_IMPORTED(XFixesDestroyRegion, dpy, region);
}

XRectangle* XFixesFetchRegionAndBounds(Display* dpy, XserverRegion region, int* count,
                                       XRectangle* bounds) {
  return TX_CALL_IMPORTED(XFixesFetchRegionAndBounds, dpy, region, count, bounds);
}

void XFixesSetGCClipRegion(Display* dpy, GC gc, int xOrigin, int yOrigin, XserverRegion region) {
  TX_CALL_IMPORTED(XFixesSetGCClipRegion, dpy, gc, xOrigin, yOrigin, region);
}

void XFixesSetWindowShapeRegion(Display* dpy, Window window, int shapeKind, int xOffset,
                                int yOffset, XserverRegion region) {
  TX_CALL_IMPORTED(XFixesSetWindowShapeRegion, dpy, window, shapeKind, xOffset, yOffset, region);
}

} // namespace tx
