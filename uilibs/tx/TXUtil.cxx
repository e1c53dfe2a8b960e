#include "uilibs/tx/TXUtil.h"

#include "uilibs/tx/CutBufferEventHandler.h"
#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/TXWindow.h"

#include "base/plat/Assert.h"
#include "base/plat/BoolParameter.h"
#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/NoDestructor.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace tx {

namespace {

plat::BoolParameter xsync("xsync", "Process X requests synchronously (slow; for debugging)",
                          false, true);
plat::BoolParameter owncmap("owncmap", "Use a private colormap instead of the default one",
                            false, true);

constexpr int maxPointerButtons = 8;

constexpr char allChannels = DoRed | DoGreen | DoBlue;

const char* const preferredFont = "-*-helvetica-medium-r-*-*-12-*-*-*-*-*-*-*";
const char* const fallbackFont = "fixed";

const uint16_t paletteGreys[paletteSize] = {0x0000, 0x5555, 0x8888, 0xbbbb, 0xeeee, 0xffff};

// The connection and what every component reads from it; filled once by
// openDisplay() and kept until the process ends.
struct DisplayState {
  Display* dpy = nullptr;
  Window root = 0;
  Colormap cmap = 0;
  GC gc = nullptr;
  XFontStruct* font = nullptr;
  unsigned long palette[paletteSize] = {};
  uint8_t pointerMap[maxPointerButtons] = {};
  int pointerMapCount = 0;
};

DisplayState& state() {
  static DisplayState instance;
  return instance;
}

Display* openNamed(const char* name) {
  if (name && *name)
    setenv("DISPLAY", name, 1);
  Display* dpy = XOpenDisplay(nullptr);
  if (dpy)
    return dpy;
  // Cookies are filed under the host name at login; if it changed since,
  // Xlib only finds ours when told to use "localhost".
  setenv("XAUTHLOCALHOSTNAME", "localhost", 1);
  dpy = XOpenDisplay(nullptr);
  if (!dpy)
    throw plat::Exception(plat::format("unable to open display \"%s\"", XDisplayName(nullptr)));
  return dpy;
}

XFontStruct* loadFont(Display* dpy) {
  XFontStruct* font = XLoadQueryFont(dpy, preferredFont);
  if (!font)
    font = XLoadQueryFont(dpy, fallbackFont);
  if (font)
    return font;
  std::fputs("Failed to load any font\n", stderr);
  std::exit(1);
}

void allocPalette(DisplayState& s) {
  std::vector<Rgb16> greys;
  for (uint16_t grey : paletteGreys)
    greys.push_back(Rgb16{grey, grey, grey});
  int mapEntries = DefaultVisual(s.dpy, DefaultScreen(s.dpy))->map_entries;
  std::vector<unsigned long> pixels = allocNearestColours(s.dpy, s.cmap, mapEntries, greys);
  for (int i = 0; i < paletteSize; i++)
    s.palette[i] = pixels[i];
}

void createDefaultGC(DisplayState& s) {
  s.gc = XCreateGC(s.dpy, s.root, 0, nullptr);
  s.font = loadFont(s.dpy);
  XSetForeground(s.dpy, s.gc, s.palette[paletteBlack]);
  XSetBackground(s.dpy, s.gc, s.palette[paletteGreyBB]);
  XSetFont(s.dpy, s.gc, s.font->fid);
}

// Reads at most maxPointerButtons entries; returns how many are valid.
int readPointerMapping(Display* dpy, uint8_t* map) {
  int reported = XGetPointerMapping(dpy, map, maxPointerButtons);
  if (reported < 0)
    return 0;
  return reported < maxPointerButtons ? reported : maxPointerButtons;
}

Atom internAtom(const char* name) {
  Display* dpy = display();
  PLAT_ASSERT(dpy != nullptr);
  return XInternAtom(dpy, name, False);
}

// The hidden toolkit window (1x1, unmapped, selecting property changes)
// whose property changes yield server timestamps. Created on first use and
// kept for the life of the process: never destroyed, since the dispatcher's
// registries may be gone by the time statics are torn down.
Window timeWindow() {
  static plat::NoDestructor<TXWindow> window;
  return window->win();
}

int64_t halfDifference(uint16_t cell, uint16_t wanted) {
  return (int64_t(cell) - int64_t(wanted)) / 2;
}

bool isUsableBitsPerPixel(int bpp) {
  return bpp > 0 && bpp <= 32 && bpp % 8 == 0;
}

// Index of the lowest set bit and the mask shifted down by it; a zero mask
// has no channel (shift 255, maximum 0).
void channelOfMask(unsigned long mask, int* max, int* shift) {
  if (mask == 0) {
    *max = 0;
    *shift = 255;
    return;
  }
  int lowest = __builtin_ctzl(mask);
  *shift = lowest;
  *max = int(mask >> lowest);
}

} // namespace

void openDisplay(const char* name) {
  DisplayState& s = state();
  if (s.dpy)
    return;
  Display* dpy = openNamed(name);
  if (xsync)
    XSynchronize(dpy, True);

  DisplayState opened;
  opened.dpy = dpy;
  int screen = DefaultScreen(dpy);
  opened.root = RootWindow(dpy, screen);
  if (owncmap)
    opened.cmap = XCreateColormap(dpy, opened.root, DefaultVisual(dpy, screen), AllocNone);
  else
    opened.cmap = DefaultColormap(dpy, screen);
  allocPalette(opened);
  createDefaultGC(opened);
  s = opened;
  // The clipboard needs to know when cut buffer 0 last changed, whoever
  // changed it, from the moment the connection exists.
  CutBufferEventHandler::install();
  s.pointerMapCount = readPointerMapping(dpy, s.pointerMap);
}

Display* display() {
  return state().dpy;
}

Window rootWindow() {
  return state().root;
}

Colormap colormap() {
  return state().cmap;
}

GC defaultGC() {
  return state().gc;
}

Font defaultFont() {
  return state().font ? state().font->fid : 0;
}

unsigned long palettePixel(PaletteEntry entry) {
  PLAT_ASSERT(entry >= 0 && entry < paletteSize);
  return state().palette[entry];
}

const uint8_t* pointerMapping() {
  return state().pointerMap;
}

int pointerMappingCount() {
  return state().pointerMapCount;
}

bool refreshPointerMapping() {
  DisplayState& s = state();
  uint8_t map[maxPointerButtons] = {};
  int count = readPointerMapping(s.dpy, map);
  bool changed = count != s.pointerMapCount || std::memcmp(map, s.pointerMap, count) != 0;
  std::memcpy(s.pointerMap, map, sizeof(map));
  s.pointerMapCount = count;
  return changed;
}

#define TX_ATOM(getter, name)                   \
  Atom getter() {                               \
    static const Atom atom = internAtom(name);  \
    return atom;                                \
  }

TX_ATOM(atomWmProtocols, "WM_PROTOCOLS")
TX_ATOM(atomWmDeleteWindow, "WM_DELETE_WINDOW")
TX_ATOM(atomWmTakeFocus, "WM_TAKE_FOCUS")
TX_ATOM(atomWmChangeState, "WM_CHANGE_STATE")
TX_ATOM(atomWmState, "WM_STATE")
TX_ATOM(atomTimestamp, "TIMESTAMP")
TX_ATOM(atomTargets, "TARGETS")
TX_ATOM(atomSelectionString, "SELECTION_STRING")
TX_ATOM(atomClipboard, "CLIPBOARD")
TX_ATOM(atomIncr, "INCR")
TX_ATOM(atomUtf8String, "UTF8_STRING")
TX_ATOM(atomNetWmName, "_NET_WM_NAME")
TX_ATOM(atomNetWmIcon, "_NET_WM_ICON")
TX_ATOM(atomNetWmIconName, "_NET_WM_ICON_NAME")
TX_ATOM(atomNetWmPid, "_NET_WM_PID")
TX_ATOM(atomNetWmState, "_NET_WM_STATE")
TX_ATOM(atomNetWmStateAbove, "_NET_WM_STATE_ABOVE")
TX_ATOM(atomNetWmStateHidden, "_NET_WM_STATE_HIDDEN")
TX_ATOM(atomNetWmStateFullscreen, "_NET_WM_STATE_FULLSCREEN")
TX_ATOM(atomNetWmMoveResize, "_NET_WM_MOVERESIZE")
TX_ATOM(atomNetActiveWindow, "_NET_ACTIVE_WINDOW")
TX_ATOM(atomNetCurrentDesktop, "_NET_CURRENT_DESKTOP")
TX_ATOM(atomNetSupportingWmCheck, "_NET_SUPPORTING_WM_CHECK")
TX_ATOM(atomNetSupported, "_NET_SUPPORTED")
TX_ATOM(atomNetWorkarea, "_NET_WORKAREA")
TX_ATOM(atomMotifWmHints, "_MOTIF_WM_HINTS")
TX_ATOM(atomMitPriorityColors, "_MIT_PRIORITY_COLORS")
TX_ATOM(atomMotifWmInfo, "_MOTIF_WM_INFO")

#undef TX_ATOM

const char* atomName(Atom atom) {
  if (atom == None)
    return "None";
  static std::mutex mutex;
  static std::map<Atom, std::string> names;
  std::lock_guard<std::mutex> lock(mutex);
  auto known = names.find(atom);
  if (known != names.end())
    return known->second.c_str();

  // Atoms in log messages often come from other clients; an unknown one must
  // not end the process through Xlib's default error handler.
  ErrorCatcher catcher(100);
  std::unique_ptr<char, int (*)(void*)> name(XGetAtomName(display(), atom), XFree);
  std::string text = name ? std::string(name.get()) : plat::format("(bad atom 0x%lx)", atom);
  return names.emplace(atom, std::move(text)).first->second.c_str();
}

Time getServerTime() {
  Display* dpy = display();
  Window window = timeWindow();
  unsigned char nothing = 0;
  XChangeProperty(dpy, window, atomTimestamp(), XA_CARDINAL, 32, PropModeAppend, &nothing, 0);
  XSync(dpy, False);
  // The server has answered, so its PropertyNotify is queued. Older ones
  // would carry older times: the newest is the one asked for.
  bool gotTime = false;
  Time time = 0;
  XEvent event;
  while (XCheckTypedWindowEvent(dpy, window, PropertyNotify, &event)) {
    gotTime = true;
    time = event.xproperty.time;
  }
  PLAT_ASSERT(gotTime);
  return time;
}

void sendClientMessage(Window window, Atom type, long d0, long d1, long d2, long d3, long d4) {
  XEvent event;
  std::memset(&event, 0, sizeof(event));
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = type;
  event.xclient.format = 32;
  event.xclient.data.l[0] = d0;
  event.xclient.data.l[1] = d1;
  event.xclient.data.l[2] = d2;
  event.xclient.data.l[3] = d3;
  event.xclient.data.l[4] = d4;
  XSendEvent(display(), rootWindow(), False, SubstructureRedirectMask | SubstructureNotifyMask,
             &event);
}

rfb::PixelFormat pixelFormatFromServerFacts(const std::vector<PixmapFormatDesc>& formats,
                                            bool msbFirst, const VisualDesc& visual, int depth,
                                            int* scanlinePad) {
  const PixmapFormatDesc* chosen = nullptr;
  for (const PixmapFormatDesc& format : formats) {
    if (format.depth == depth) {
      chosen = &format;
      break;
    }
  }
  if (!chosen || !isUsableBitsPerPixel(chosen->bitsPerPixel))
    throw plat::Exception("Error: couldn't find suitable pixmap format");
  int bpp = chosen->bitsPerPixel;
  if (scanlinePad)
    *scanlinePad = chosen->scanlinePad;

  if (visual.visualClass == TrueColor || visual.visualClass == DirectColor) {
    int redMax, greenMax, blueMax, redShift, greenShift, blueShift;
    channelOfMask(visual.redMask, &redMax, &redShift);
    channelOfMask(visual.greenMask, &greenMax, &greenShift);
    channelOfMask(visual.blueMask, &blueMax, &blueShift);
    return rfb::PixelFormat(bpp, depth, msbFirst, true, redMax, greenMax, blueMax, 0, redShift,
                            greenShift, blueShift, 0);
  }
  if (depth != 8 || bpp != 8)
    throw plat::Exception(plat::format("Unsupported palettized visual depth %d", depth));
  return rfb::PixelFormat(8, 8, msbFirst, false, 0, 0, 0, 0, 0, 0, 0, 0);
}

rfb::PixelFormat pixelFormatOfVisual(const VisualDesc& visual, int depth, int* scanlinePad) {
  Display* dpy = display();
  PLAT_ASSERT(dpy != nullptr);
  int count = 0;
  std::unique_ptr<XPixmapFormatValues, int (*)(void*)> list(XListPixmapFormats(dpy, &count),
                                                            XFree);
  std::vector<PixmapFormatDesc> formats;
  for (int i = 0; list && i < count; i++)
    formats.push_back({list.get()[i].depth, list.get()[i].bits_per_pixel,
                       list.get()[i].scanline_pad});
  return pixelFormatFromServerFacts(formats, ImageByteOrder(dpy) == MSBFirst, visual, depth,
                                    scanlinePad);
}

int nearestCell(const std::vector<Rgb16>& cells, const std::vector<bool>& usable,
                const Rgb16& wanted) {
  int best = -1;
  int64_t bestDistance = 0;
  for (size_t i = 0; i < cells.size() && i < usable.size(); i++) {
    if (!usable[i])
      continue;
    int64_t dr = halfDifference(cells[i].red, wanted.red);
    int64_t dg = halfDifference(cells[i].green, wanted.green);
    int64_t db = halfDifference(cells[i].blue, wanted.blue);
    int64_t distance = dr * dr + dg * dg + db * db;
    if (best < 0 || distance < bestDistance) {
      best = int(i);
      bestDistance = distance;
    }
  }
  return best;
}

std::vector<unsigned long> allocNearestColours(Display* dpy, Colormap cmap, int mapEntries,
                                               const std::vector<Rgb16>& wanted) {
  std::vector<unsigned long> pixels(wanted.size(), 0);
  std::vector<bool> allocated(wanted.size(), false);
  bool allAllocated = true;
  for (size_t i = 0; i < wanted.size(); i++) {
    XColor colour{0, wanted[i].red, wanted[i].green, wanted[i].blue, allChannels, 0};
    if (XAllocColor(dpy, cmap, &colour)) {
      pixels[i] = colour.pixel;
      allocated[i] = true;
    } else {
      allAllocated = false;
    }
  }
  if (allAllocated || mapEntries <= 0)
    return pixels;

  // The colormap is full: share the nearest of the cells that others have
  // allocated read-only. Which cells can be shared is found by trying.
  std::vector<XColor> cells(mapEntries);
  for (int i = 0; i < mapEntries; i++)
    cells[i].pixel = i;
  XQueryColors(dpy, cmap, cells.data(), mapEntries);

  std::vector<Rgb16> rgb(mapEntries);
  std::vector<bool> usable(mapEntries, false);
  for (int i = mapEntries - 1; i >= 0; i--) {
    rgb[i] = Rgb16{cells[i].red, cells[i].green, cells[i].blue};
    XColor probe = cells[i];
    probe.flags = allChannels;
    if (!XAllocColor(dpy, cmap, &probe))
      continue;
    if (probe.pixel == cells[i].pixel)
      usable[i] = true;
    else
      XFreeColors(dpy, cmap, &probe.pixel, 1, 0);
  }

  std::vector<bool> given(mapEntries, false);
  for (size_t i = 0; i < wanted.size(); i++) {
    if (allocated[i])
      continue;
    int cell = nearestCell(rgb, usable, wanted[i]);
    if (cell < 0)
      continue;
    pixels[i] = cells[cell].pixel;
    given[cell] = true;
  }
  for (int i = 0; i < mapEntries; i++) {
    if (usable[i] && !given[i])
      XFreeColors(dpy, cmap, &cells[i].pixel, 1, 0);
  }
  return pixels;
}

} // namespace tx
