#pragma once

// The process's one X display connection and the per-connection state that
// every X-using component reads: root window, colormap, default graphics
// context and font, the toolkit's grey palette, the pointer button mapping
// and interned atoms. The connection is opened once by openDisplay() and is
// never closed: the process ends with it. Everything here runs on the
// event-loop thread, except that the atom getters are safe from any thread.

#include "uilibs/tx/XTypes.h"

#include "base/rfb/PixelFormat.h"

#include <cstdint>
#include <vector>

namespace tx {

// Opens the connection to the display named by `name`, or by $DISPLAY when
// `name` is null or empty (a non-empty name is written to $DISPLAY first).
// When that fails, retries once with XAUTHLOCALHOSTNAME=localhost, which
// lets a client whose host name changed since login find its cookie. Does
// nothing when the connection is already open. Throws plat::Exception
// "unable to open display \"<name>\"" when both tries fail.
void openDisplay(const char* name = nullptr);

// Null until openDisplay() succeeds.
Display* display();
Window rootWindow();
Colormap colormap();
GC defaultGC();
Font defaultFont();

// The toolkit palette: six greys, all channels equal.
enum PaletteEntry {
  paletteBlack,   // 0x0000
  paletteGrey55,  // 0x5555
  paletteGrey88,  // 0x8888
  paletteGreyBB,  // 0xbbbb, the default background
  paletteGreyEE,  // 0xeeee
  paletteWhite,   // 0xffff
  paletteSize
};
unsigned long palettePixel(PaletteEntry entry);

// The server's logical-to-physical pointer button map, at most 8 entries;
// entry i is the physical button for logical button i + 1.
const uint8_t* pointerMapping();
int pointerMappingCount();
// Reads the pointer mapping again (after a MappingNotify); true when it
// differs from the one held before.
bool refreshPointerMapping();

// Interned atoms: each name is interned on first use (created if the server
// does not know it yet) and cached for the life of the process.
Atom atomWmProtocols();          // "WM_PROTOCOLS"
Atom atomWmDeleteWindow();       // "WM_DELETE_WINDOW"
Atom atomWmTakeFocus();          // "WM_TAKE_FOCUS"
Atom atomWmChangeState();        // "WM_CHANGE_STATE"
Atom atomWmState();              // "WM_STATE"
Atom atomTimestamp();            // "TIMESTAMP"
Atom atomTargets();              // "TARGETS"
Atom atomSelectionString();      // "SELECTION_STRING"
Atom atomClipboard();            // "CLIPBOARD"
Atom atomIncr();                 // "INCR"
Atom atomUtf8String();           // "UTF8_STRING"
Atom atomNetWmName();            // "_NET_WM_NAME"
Atom atomNetWmIcon();            // "_NET_WM_ICON"
Atom atomNetWmIconName();        // "_NET_WM_ICON_NAME"
Atom atomNetWmPid();             // "_NET_WM_PID"
Atom atomNetWmState();           // "_NET_WM_STATE"
Atom atomNetWmStateAbove();      // "_NET_WM_STATE_ABOVE"
Atom atomNetWmStateHidden();     // "_NET_WM_STATE_HIDDEN"
Atom atomNetWmStateFullscreen(); // "_NET_WM_STATE_FULLSCREEN"
Atom atomNetWmMoveResize();      // "_NET_WM_MOVERESIZE"
Atom atomNetActiveWindow();      // "_NET_ACTIVE_WINDOW"
Atom atomNetCurrentDesktop();    // "_NET_CURRENT_DESKTOP"
Atom atomNetSupportingWmCheck(); // "_NET_SUPPORTING_WM_CHECK"
Atom atomNetSupported();         // "_NET_SUPPORTED"
Atom atomNetWorkarea();          // "_NET_WORKAREA"
Atom atomMotifWmHints();         // "_MOTIF_WM_HINTS"
Atom atomMitPriorityColors();    // "_MIT_PRIORITY_COLORS"
Atom atomMotifWmInfo();          // "_MOTIF_WM_INFO"

// The name of any atom, for log messages. Fetched from the server once per
// atom and kept for the life of the process; "None" for atom 0 and
// "(bad atom 0x<hex>)" for an id the server does not know.
const char* atomName(Atom atom);

// A current X server timestamp, obtained by touching a property of a hidden
// window and reading the time of the resulting PropertyNotify.
Time getServerTime();

// Sends a 32-bit client message of type `type` about `window` to the root
// window, as window-manager requests are sent (SubstructureRedirectMask |
// SubstructureNotifyMask, no propagation).
void sendClientMessage(Window window, Atom type, long d0 = 0, long d1 = 0,
                       long d2 = 0, long d3 = 0, long d4 = 0);

// What pixelFormatOfVisual needs to know about a visual.
struct VisualDesc {
  int visualClass; // StaticGray .. DirectColor
  unsigned long redMask;
  unsigned long greenMask;
  unsigned long blueMask;
};

// One entry of the server's pixmap-format list.
struct PixmapFormatDesc {
  int depth;
  int bitsPerPixel;
  int scanlinePad;
};

// The format of images of a visual at a depth on the open display. Throws
// plat::Exception "Error: couldn't find suitable pixmap format" when the
// depth has no pixmap format of 8, 16, 24 or 32 bits per pixel, and
// "Unsupported palettized visual depth <depth>" for colour-mapped visuals
// other than 8-bit. The format's scanline pad (bits) is stored in
// *scanlinePad when that is not null.
rfb::PixelFormat pixelFormatOfVisual(const VisualDesc& visual, int depth,
                                     int* scanlinePad = nullptr);

// The same for an Xlib Visual (a template only so that this header need not
// include Xlib, whose Visual cannot be forward-declared).
template <typename XlibVisual>
rfb::PixelFormat pixelFormatOfVisual(const XlibVisual* visual, int depth,
                                     int* scanlinePad = nullptr) {
  return pixelFormatOfVisual(VisualDesc{visual->c_class, visual->red_mask,
                                        visual->green_mask, visual->blue_mask},
                             depth, scanlinePad);
}

// The decision itself, from the server's facts.
rfb::PixelFormat pixelFormatFromServerFacts(const std::vector<PixmapFormatDesc>& formats,
                                            bool msbFirst, const VisualDesc& visual,
                                            int depth, int* scanlinePad = nullptr);

// A colour with 16-bit channels, as X colormaps hold them.
struct Rgb16 {
  uint16_t red;
  uint16_t green;
  uint16_t blue;
};

// Allocates each wanted colour as a shared read-only cell of `cmap`; for
// those the colormap cannot take (it is full), gives the nearest cell that
// can be shared instead. `mapEntries` is the number of cells of the visual.
// Cells allocated only while searching are freed again. The result holds
// one pixel per wanted colour (0 when the colormap has no cells at all).
std::vector<unsigned long> allocNearestColours(Display* dpy, Colormap cmap, int mapEntries,
                                               const std::vector<Rgb16>& wanted);

// Among the cells marked usable, the index of the one nearest to `wanted`:
// the least (dr/2)^2 + (dg/2)^2 + (db/2)^2 (each halved difference truncated
// towards zero), the lowest index on a tie; -1 when no cell is usable.
int nearestCell(const std::vector<Rgb16>& cells, const std::vector<bool>& usable,
                const Rgb16& wanted);

} // namespace tx
