#include "uilibs/tx/ColourMapX11.h"

#include "uilibs/tx/ErrorCatcher.h"

#include "base/plat/Assert.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <memory>
#include <optional>

namespace tx {

namespace {

// The colormap the screen shows now: a client with its own map may have
// installed it over the default one.
Colormap shownColormap(Display* dpy) {
  int count = 0;
  std::unique_ptr<Colormap, int (*)(void*)> installed(
    XListInstalledColormaps(dpy, DefaultRootWindow(dpy), &count), XFree);
  if (installed && count > 0)
    return installed.get()[0];
  return DefaultColormap(dpy, DefaultScreen(dpy));
}

} // namespace

ColourMapX11::ColourMapX11() {
  PLAT_ASSERT(numColours() <= 256);
  refresh();
}

int ColourMapX11::numColours() const {
  Display* dpy = display();
  PLAT_ASSERT(dpy != nullptr);
  return DefaultVisual(dpy, DefaultScreen(dpy))->map_entries;
}

int ColourMapX11::size() const {
  return int(entries_.size());
}

uint32_t ColourMapX11::to8Bits(uint16_t channel) {
  return (uint32_t(channel) - (channel >> 8) + 127) >> 8;
}

void ColourMapX11::getColour(int index, rfb::Colour* colour) const {
  if (index < 0 || index >= size())
    return;
  const Rgb16& entry = entries_[size_t(index)];
  colour->r = to8Bits(entry.red);
  colour->g = to8Bits(entry.green);
  colour->b = to8Bits(entry.blue);
  colour->a = 255;
}

std::optional<std::vector<Rgb16>> ColourMapX11::readColormap(Colormap cmap, int count) {
  std::vector<XColor> cells(size_t(count > 0 ? count : 0));
  for (size_t i = 0; i < cells.size(); i++)
    cells[i].pixel = static_cast<unsigned long>(i);
  if (!cells.empty()) {
    ErrorCatcher catcher(100);
    XQueryColors(display(), cmap, cells.data(), int(cells.size()));
    // The reply has been read, and with it any error.
    if (catcher.errorCode() != 0)
      return std::nullopt;
  }
  std::vector<Rgb16> entries;
  entries.reserve(cells.size());
  for (const XColor& cell : cells)
    entries.push_back({cell.red, cell.green, cell.blue});
  return entries;
}

bool ColourMapX11::refresh() {
  Display* dpy = display();
  int count = numColours();
  std::optional<std::vector<Rgb16>> read = readColormap(shownColormap(dpy), count);
  // X cannot tell a colormap's size: the one shown may belong to a visual
  // with fewer cells, or be gone already. The default colormap has the
  // default visual's cells.
  if (!read)
    read = readColormap(DefaultColormap(dpy, DefaultScreen(dpy)), count);
  if (!read)
    return false;
  std::vector<Rgb16>& entries = *read;
  bool same = entries.size() == entries_.size() &&
              std::equal(entries.begin(), entries.end(), entries_.begin(),
                         [](const Rgb16& a, const Rgb16& b) {
                           return a.red == b.red && a.green == b.green && a.blue == b.blue;
                         });
  if (same)
    return false;
  entries_ = std::move(entries);
  return true;
}

} // namespace tx
