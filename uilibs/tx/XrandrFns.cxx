#include "uilibs/tx/XrandrFns.h"

#include "uilibs/tx/ImportedFn.h"

namespace tx {

namespace {

const char* const librarySpec = "Xrandr[2]";

TX_IMPORTED_FN(librarySpec, XRRQueryExtension)
TX_IMPORTED_FN(librarySpec, XRRQueryVersion)
TX_IMPORTED_FN(librarySpec, XRRGetScreenResources)
TX_IMPORTED_FN(librarySpec, XRRFreeScreenResources)
TX_IMPORTED_FN(librarySpec, XRRGetOutputInfo)
TX_IMPORTED_FN(librarySpec, XRRFreeOutputInfo)
TX_IMPORTED_FN(librarySpec, XRRGetCrtcInfo)
TX_IMPORTED_FN(librarySpec, XRRFreeCrtcInfo)
TX_IMPORTED_FN(librarySpec, XRRSetCrtcConfig)
TX_IMPORTED_FN(librarySpec, XRRSetScreenSize)
TX_IMPORTED_FN(librarySpec, XRRAllocModeInfo)
TX_IMPORTED_FN(librarySpec, XRRFreeModeInfo)
TX_IMPORTED_FN(librarySpec, XRRCreateMode)
TX_IMPORTED_FN(librarySpec, XRRDestroyMode)
TX_IMPORTED_FN(librarySpec, XRRAddOutputMode)
TX_IMPORTED_FN(librarySpec, XRRDeleteOutputMode)
TX_IMPORTED_FN(librarySpec, XRRSelectInput)

} // namespace

Bool XRRQueryExtension(Display* dpy, int* eventBase, int* errorBase) {
  if (!allImported({&loader_XRRQueryExtension(), &loader_XRRQueryVersion()}))
    return False;
  return TX_CALL_IMPORTED(XRRQueryExtension, dpy, eventBase, errorBase);
}

Status XRRQueryVersion(Display* dpy, int* major, int* minor) {
  return TX_CALL_IMPORTED(XRRQueryVersion, dpy, major, minor);
}

XRRScreenResources* XRRGetScreenResources(Display* dpy, Window window) {
  return TX_CALL_IMPORTED(XRRGetScreenResources, dpy, window);
}

void XRRFreeScreenResources(XRRScreenResources* resources) {
  TX_CALL_IMPORTED(XRRFreeScreenResources, resources);
}

XRROutputInfo* XRRGetOutputInfo(Display* dpy, XRRScreenResources* resources, RROutput output) {
  return TX_CALL_IMPORTED(XRRGetOutputInfo, dpy, resources, output);
}

void XRRFreeOutputInfo(XRROutputInfo* outputInfo) {
  TX_CALL_IMPORTED(XRRFreeOutputInfo, outputInfo);
}

XRRCrtcInfo* XRRGetCrtcInfo(Display* dpy, XRRScreenResources* resources, RRCrtc crtc) {
  return TX_CALL_IMPORTED(XRRGetCrtcInfo, dpy, resources, crtc);
}

void XRRFreeCrtcInfo(XRRCrtcInfo* crtcInfo) {
  TX_CALL_IMPORTED(XRRFreeCrtcInfo, crtcInfo);
}

Status XRRSetCrtcConfig(Display* dpy, XRRScreenResources* resources, RRCrtc crtc, Time timestamp,
                        int x, int y, RRMode mode, Rotation rotation, RROutput* outputs,
                        int outputCount) {
  return TX_CALL_IMPORTED(XRRSetCrtcConfig, dpy, resources, crtc, timestamp, x, y, mode, rotation,
                          outputs, outputCount);
}

void XRRSetScreenSize(Display* dpy, Window window, int width, int height, int mmWidth,
                      int mmHeight) {
  TX_CALL_IMPORTED(XRRSetScreenSize, dpy, window, width, height, mmWidth, mmHeight);
}

XRRModeInfo* XRRAllocModeInfo(const char* name, int nameLength) {
  return TX_CALL_IMPORTED(XRRAllocModeInfo, name, nameLength);
}

void XRRFreeModeInfo(XRRModeInfo* modeInfo) {
  TX_CALL_IMPORTED(XRRFreeModeInfo, modeInfo);
}

RRMode XRRCreateMode(Display* dpy, Window window, XRRModeInfo* modeInfo) {
  return TX_CALL_IMPORTED(XRRCreateMode, dpy, window, modeInfo);
}

void XRRDestroyMode(Display* dpy, RRMode mode) {
  TX_CALL_IMPORTED(XRRDestroyMode, dpy, mode);
}

void XRRAddOutputMode(Display* dpy, RROutput output, RRMode mode) {
  TX_CALL_IMPORTED(XRRAddOutputMode, dpy, output, mode);
}

void XRRDeleteOutputMode(Display* dpy, RROutput output, RRMode mode) {
  TX_CALL_IMPORTED(XRRDeleteOutputMode, dpy, output, mode);
}

void XRRSelectInput(Display* dpy, Window window, int mask) {
  TX_CALL_IMPORTED(XRRSelectInput, dpy, window, mask);
}

} // namespace tx
