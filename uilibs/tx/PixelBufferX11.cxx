#include "uilibs/tx/PixelBufferX11.h"

#include "uilibs/tx/ColourMapX11.h"
#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/TXUtil.h"
#include "uilibs/tx/XShmAttachment.h"
#include "uilibs/tx/XShmPixmap.h"

#include "base/plat/Assert.h"
#include "base/plat/BoolParameter.h"
#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/IntParameter.h"
#include "base/plat/LogSrc.h"
#include "base/plat/unix/SharedMemPosix.h"
#include "base/plat/unix/SharedMemSysV.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tx {

namespace {

plat::LogSrc vlog("PixelBufferX11");

plat::BoolParameter useXShm("_UseXShm", "", true, true);
plat::IntParameter maxGrabRects("_MaxGrabRects", "", 20, 0, 2147483647, true);

// X errors during grabs are logged by the catcher at this level and absorbed.
constexpr int grabErrorLevel = 100;

Display* openedDisplay() {
  Display* dpy = display();
  PLAT_ASSERT(dpy != nullptr);
  return dpy;
}

Visual* defaultVisual(Display* dpy) {
  return DefaultVisual(dpy, DefaultScreen(dpy));
}

// The size of `window`, within a catcher: a window that does not exist must
// not end the process through Xlib's default handler.
rfb::Rect windowRect(Display* dpy, Window window) {
  ErrorCatcher catcher(grabErrorLevel);
  Window root;
  int x, y;
  unsigned width, height, border, depth;
  Status ok = XGetGeometry(dpy, window, &root, &x, &y, &width, &height, &border, &depth);
  if (!ok || catcher.errorCode() != 0)
    throw plat::Exception("XGetGeometry failed");
  return rfb::Rect(0, 0, int(width), int(height));
}

} // namespace

struct PixelBufferX11::Screen {
  rfb::PixelFormat pf;
  int depth;
  int scanlinePad;
  rfb::Rect rect;
  int stride;
};

void PixelBufferX11::ImageDeleter::operator()(_XImage* image) const {
  XDestroyImage(image);
}

void PixelBufferX11::SegmentImageDeleter::operator()(_XImage* image) const {
  // The pixels belong to the segment: keep XDestroyImage from freeing them.
  image->data = nullptr;
  XDestroyImage(image);
}

PixelBufferX11::PixelBufferX11(Window window, const ipc_perm* perm, const rfb::Rect& rect,
                               Method fastest)
  : PixelBufferX11(window, perm, describeScreen(window, rect), fastest) {}

PixelBufferX11::PixelBufferX11(Window window, const ipc_perm* perm, const Screen& screen,
                               Method fastest)
  : FullFramePixelBuffer(screen.pf, screen.rect, nullptr, nullptr, screen.stride),
    window_(window), depth_(screen.depth), scanlinePad_(screen.scanlinePad) {
  if (!format_.trueColour) {
    ownColourMap_ = std::make_unique<ColourMapX11>();
    colourMap_ = ownColourMap_.get();
  }
  if (useXShm && fastest != Method::plainImage) {
    try {
      setUpShm(perm, fastest);
    } catch (const plat::Exception& e) {
      vlog.status("%s", e.describe().c_str());
      releaseShm();
    }
  }
  if (!shm_)
    setUpPlainImage();
  data_ = shm_->data();
  std::memset(data_, 0, imageSize());
}

PixelBufferX11::~PixelBufferX11() = default;

PixelBufferX11::Screen PixelBufferX11::describeScreen(Window window, const rfb::Rect& rect) {
  Display* dpy = openedDisplay();
  Screen screen;
  screen.depth = DefaultDepth(dpy, DefaultScreen(dpy));
  screen.pf = pixelFormatOfVisual(defaultVisual(dpy), screen.depth, &screen.scanlinePad);
  screen.rect = rect.isEmpty() ? windowRect(dpy, window) : rect;
  screen.stride = strideFor(screen.rect.width(), screen.pf.bpp, screen.scanlinePad);
  uint64_t size = uint64_t(screen.pf.bpp / 8) * uint64_t(screen.stride) *
                  uint64_t(screen.rect.height());
  // Segment sizes are 32-bit, and Xlib computes image sizes in int.
  if (size > uint64_t(INT32_MAX))
    throw plat::Exception("Screen image too large");
  return screen;
}

int PixelBufferX11::strideFor(int width, int bpp, int scanlinePad) {
  if (scanlinePad <= 0 || bpp <= 0 || std::popcount(unsigned(scanlinePad)) != 1 ||
      scanlinePad % bpp != 0)
    throw plat::AssertionFail("nBitsSet(scanlinePad) == 1 && (scanlinePad % pf.bpp) == 0",
                              plat::format("Bad X server scanline pad %d", scanlinePad));
  int pixelsPerPad = scanlinePad / bpp;
  return (width + pixelsPerPad - 1) / pixelsPerPad * pixelsPerPad;
}

uint32_t PixelBufferX11::imageSize() const {
  return uint32_t(bytesPerPixel()) * uint32_t(stride_) * uint32_t(height());
}

// MIT-SHM: a System V segment that the X server attaches by its id, then a
// shared pixmap over it or, failing that, a shared image.
void PixelBufferX11::setUpShm(const ipc_perm* perm, Method fastest) {
  Display* dpy = openedDisplay();
  int major = 0, minor = 0;
  Bool pixmaps = False;
  if (!XShmQueryVersion(dpy, &major, &minor, &pixmaps))
    throw plat::Exception("No XShm extension");
  vlog.status("XShm extension present - version %d.%d (with%s pixmaps)", major, minor,
              pixmaps ? "" : "out");
  auto segment = std::make_unique<plat::SharedMemSysV>(imageSize(), perm);
  void* address = segment->data();
  int id = segment->id();
  shm_ = std::move(segment);
  attachment_ = std::make_unique<XShmAttachment>(dpy, id, address);
  if (pixmaps && fastest == Method::shmPixmap && trySharedPixmap())
    return;
  setUpSharedImage();
}

bool PixelBufferX11::trySharedPixmap() {
  try {
    pixmap_ = std::make_unique<XShmPixmap>(openedDisplay(), window_, *attachment_, width(),
                                           height(), depth_);
  } catch (const plat::Exception& e) {
    vlog.status("%s", e.describe().c_str());
    return false;
  }
  vlog.status("Using shared memory Pixmap");
  method_ = Method::shmPixmap;
  return true;
}

void PixelBufferX11::setUpSharedImage() {
  Display* dpy = openedDisplay();
  auto* info = static_cast<XShmSegmentInfo*>(attachment_->info());
  XImage* xim = XShmCreateImage(dpy, defaultVisual(dpy), unsigned(depth_), ZPixmap,
                                reinterpret_cast<char*>(shm_->data()), info, unsigned(width()),
                                unsigned(height()));
  if (!xim)
    throw plat::Exception("XShmCreateImage failed");
  image_.reset(xim);
  // The server writes rows padded as the pixmap format says, which is what
  // the stride was computed from; anything else is a broken server or Xlib.
  if (xim->bytes_per_line != bytesPerLine())
    plat::assertionFailed("xim->bytes_per_line == bytesPerLine()", __FILE__, __LINE__);
  vlog.status("Using shared memory XImage");
  method_ = Method::shmImage;
}

void PixelBufferX11::releaseShm() noexcept {
  image_.reset();
  pixmap_.reset();
  attachment_.reset();
  shm_.reset();
  method_ = Method::plainImage;
}

void PixelBufferX11::setUpPlainImage() {
  Display* dpy = openedDisplay();
  shm_ = std::make_unique<plat::SharedMemPosix>(imageSize());
  XImage* xim = XCreateImage(dpy, defaultVisual(dpy), unsigned(depth_), ZPixmap, 0,
                             reinterpret_cast<char*>(shm_->data()), unsigned(width()),
                             unsigned(height()), scanlinePad_, bytesPerLine());
  if (!xim)
    throw plat::Exception("XCreateImage failed");
  image_.reset(xim);
  vlog.status("Using non-shm XImage");
  method_ = Method::plainImage;
}

plat::SharedMem* PixelBufferX11::getSharedMem() {
  return shm_.get();
}

void PixelBufferX11::setClipRegion(const rfb::Region& clip) {
  clip_ = clip;
  clipCoversBuffer_ = clip_.isEmpty() || rfb::Region(rect_).subtract(clip_).isEmpty();
}

rfb::Region PixelBufferX11::grabArea(const rfb::Region& region, int maxRects,
                                     const rfb::Rect& bounds, const rfb::Region& clip) {
  rfb::Region area = region;
  // Each rectangle costs a request; past the limit one larger request is
  // cheaper than many small ones.
  if (area.numRects() > maxRects)
    area = rfb::Region(area.get_bounding_rect());
  area.assign_intersect(rfb::Region(bounds));
  if (!clip.isEmpty())
    area.assign_intersect(clip);
  return area;
}

bool PixelBufferX11::queueGrab(unsigned long region) {
  if (method_ != Method::shmPixmap)
    return false;
  // One clip per copy: the region's. A clip region that leaves parts of the
  // buffer out would need intersecting first; such buffers take the usual
  // way.
  if (!clipCoversBuffer_)
    return false;
  try {
    pixmap_->copyFromUnder(window_, region, rect_.tl.x, rect_.tl.y, width(), height());
  } catch (const plat::Exception& e) {
    vlog.debug("%s", e.str());
    return false;
  }
  return true;
}

void PixelBufferX11::moveTo(const rfb::Point& topLeft) {
  rect_ = rfb::Rect(topLeft.x, topLeft.y, topLeft.x + width(), topLeft.y + height());
  fresh_.clear();
  setClipRegion(clip_);
}

void PixelBufferX11::markFresh(const rfb::Region& area) {
  fresh_.assign_union(area.intersect(rfb::Region(rect_)));
}

void PixelBufferX11::grabRegion(const rfb::Region& region) {
  rfb::Region wanted = fresh_.isEmpty() ? region : region.subtract(fresh_);
  fresh_.clear();
  rfb::Region area = grabArea(wanted, maxGrabRects, rect_, clip_);
  if (area.isEmpty())
    return;
  switch (method_) {
  case Method::shmPixmap:
    grabIntoPixmap(area);
    return;
  case Method::shmImage:
    // One request fills the whole segment; it may only be used when the
    // whole buffer is asked for, or pixels outside the region (and outside
    // the clip region) would change behind the server's back.
    if (area == rfb::Region(rect_)) {
      grabWhole();
      return;
    }
    grabRects(area);
    return;
  case Method::plainImage:
    grabRects(area);
    return;
  }
}

void PixelBufferX11::grabIntoPixmap(const rfb::Region& area) {
  ErrorCatcher catcher(grabErrorLevel);
  for (const rfb::RgnRect& box : area.boxes())
    pixmap_->copyFrom(window_, box.x1, box.y1, box.x2 - box.x1, box.y2 - box.y1,
                      box.x1 - rect_.tl.x, box.y1 - rect_.tl.y);
  // The pixmap shares the segment: once the server has done the copies the
  // pixels are in place.
  pixmap_->sync();
}

void PixelBufferX11::grabWhole() {
  ErrorCatcher catcher(grabErrorLevel);
  XShmGetImage(openedDisplay(), window_, image_.get(), rect_.tl.x, rect_.tl.y, AllPlanes);
}

void PixelBufferX11::grabRects(const rfb::Region& area) {
  ErrorCatcher catcher(grabErrorLevel);
  for (const rfb::RgnRect& box : area.boxes())
    grabRect(rfb::Rect(box));
}

// XGetSubImage would do, but it stores the fetched pixels one XPutPixel at
// a time; fetching them with XGetImage and copying whole rows gives the same
// bytes at a fraction of the cost when the layouts agree (they do, short of
// an Xlib that reformats images).
void PixelBufferX11::grabRect(const rfb::Rect& r) {
  Display* dpy = openedDisplay();
  ImagePtr fetched(XGetImage(dpy, window_, r.tl.x, r.tl.y, unsigned(r.width()),
                             unsigned(r.height()), AllPlanes, ZPixmap));
  if (!fetched)
    return; // an X error, logged by the caller's catcher; the old pixels stay
  XImage* xim = image_.get();
  if (fetched->bits_per_pixel != xim->bits_per_pixel || fetched->byte_order != xim->byte_order ||
      fetched->width < r.width() || fetched->height < r.height()) {
    XGetSubImage(dpy, window_, r.tl.x, r.tl.y, unsigned(r.width()), unsigned(r.height()),
                 AllPlanes, ZPixmap, xim, r.tl.x - rect_.tl.x, r.tl.y - rect_.tl.y);
    return;
  }
  int stride;
  uint8_t* dest = getPixelsRW(r, &stride);
  size_t rowBytes = size_t(r.width()) * size_t(bytesPerPixel());
  for (int y = 0; y < r.height(); y++)
    std::memcpy(dest + size_t(y) * size_t(bytesPerLine()),
                fetched->data + size_t(y) * size_t(fetched->bytes_per_line), rowBytes);
}

} // namespace tx
