#pragma once

// The XFIXES client library, loaded at run time ("Xfixes[3,2,1]") so that
// the agent runs where it is missing. Call tx::XFixesQueryExtension first:
// it reports the extension absent when the library, the version query or a
// selection or cursor function is missing. The region functions are
// optional: where they are missing the extension still reports itself
// present and their wrappers throw plat::DynamicFnLoadFailed ("Function
// <name> not found in Xfixes[3,2,1] library") when called.
//
// This header includes the library's own header for its types, and with it
// Xlib: include it only where Xlib is used anyway. Always call the tx::
// names, qualified even inside namespace tx (argument-dependent lookup also
// finds the library's global declaration, so an unqualified call is
// ambiguous); the global functions are not linked.

#include <X11/extensions/Xfixes.h>

namespace tx {

Bool XFixesQueryExtension(Display* dpy, int* eventBase, int* errorBase);
Status XFixesQueryVersion(Display* dpy, int* major, int* minor);
void XFixesSelectSelectionInput(Display* dpy, Window window, Atom selection,
                                unsigned long eventMask);
void XFixesSelectCursorInput(Display* dpy, Window window, unsigned long eventMask);
XFixesCursorImage* XFixesGetCursorImage(Display* dpy);
XserverRegion XFixesCreateRegion(Display* dpy, XRectangle* rectangles, int count);
void XFixesDestroyRegion(Display* dpy, XserverRegion region);
XRectangle* XFixesFetchRegionAndBounds(Display* dpy, XserverRegion region, int* count,
                                       XRectangle* bounds);
void XFixesSetGCClipRegion(Display* dpy, GC gc, int xOrigin, int yOrigin, XserverRegion region);
void XFixesSetWindowShapeRegion(Display* dpy, Window window, int shapeKind, int xOffset,
                                int yOffset, XserverRegion region);

} // namespace tx
