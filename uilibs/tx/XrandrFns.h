#pragma once

// The RandR client library, loaded at run time ("Xrandr[2]") so that the
// agent runs where it is missing. Call tx::XRRQueryExtension first: it
// reports the extension absent when the library or the version query is
// missing. Everything else is optional: where a function is missing its
// wrapper throws plat::DynamicFnLoadFailed ("Function <name> not found in
// Xrandr[2] library") when called.
//
// This header includes the library's own header for its types, and with it
// Xlib: include it only where Xlib is used anyway. Always call the tx::
// names, qualified even inside namespace tx (argument-dependent lookup also
// finds the library's global declaration, so an unqualified call is
// ambiguous); the global functions are not linked.

#include <X11/extensions/Xrandr.h>

namespace tx {

Bool XRRQueryExtension(Display* dpy, int* eventBase, int* errorBase);
Status XRRQueryVersion(Display* dpy, int* major, int* minor);
XRRScreenResources* XRRGetScreenResources(Display* dpy, Window window);
void XRRFreeScreenResources(XRRScreenResources* resources);
XRROutputInfo* XRRGetOutputInfo(Display* dpy, XRRScreenResources* resources, RROutput output);
void XRRFreeOutputInfo(XRROutputInfo* outputInfo);
XRRCrtcInfo* XRRGetCrtcInfo(Display* dpy, XRRScreenResources* resources, RRCrtc crtc);
void XRRFreeCrtcInfo(XRRCrtcInfo* crtcInfo);
Status XRRSetCrtcConfig(Display* dpy, XRRScreenResources* resources, RRCrtc crtc, Time timestamp,
                        int x, int y, RRMode mode, Rotation rotation, RROutput* outputs,
                        int outputCount);
void XRRSetScreenSize(Display* dpy, Window window, int width, int height, int mmWidth,
                      int mmHeight);
XRRModeInfo* XRRAllocModeInfo(const char* name, int nameLength);
void XRRFreeModeInfo(XRRModeInfo* modeInfo);
RRMode XRRCreateMode(Display* dpy, Window window, XRRModeInfo* modeInfo);
void XRRDestroyMode(Display* dpy, RRMode mode);
void XRRAddOutputMode(Display* dpy, RROutput output, RRMode mode);
void XRRDeleteOutputMode(Display* dpy, RROutput output, RRMode mode);
void XRRSelectInput(Display* dpy, Window window, int mask);

} // namespace tx
