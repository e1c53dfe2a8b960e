#pragma once

// The agent's copy of the X screen: a full-frame pixel buffer whose pixels
// live in a shared-memory segment that the server maps, refreshed from the X
// server on request. Of three ways to read the screen it takes the fastest
// the server offers, once, at construction:
//   shmPixmap  - an MIT-SHM pixmap over the segment; grabs are copies inside
//                the X server (System V segment);
//   shmImage   - an MIT-SHM image over the segment; a grab of the whole
//                buffer is one request that the server writes straight into
//                the segment (System V segment);
//   plainImage - an image over the segment filled by sub-image requests,
//                pixels moving through the X connection (POSIX segment).
// Invariants: the stride is the width rounded up to the server's scanline
// pad; the segment is bpp/8 * stride * height bytes and holds every pixel,
// whichever way is used; grabs never write outside the grabbed region, and,
// when a clip region is set, never outside the clip region. The fresh region
// is part of the buffer already equal to the screen that the next
// grabRegion may leave out; that grab empties it.

#include "uilibs/tx/XTypes.h"

#include "base/rfb/FullFramePixelBuffer.h"
#include "base/rfb/Region.h"

#include <sys/ipc.h>

#include <memory>

struct _XImage;

namespace plat {
class SharedMem;
} // namespace plat

namespace tx {

class ColourMapX11;
class XShmAttachment;
class XShmPixmap;

class PixelBufferX11 : public rfb::FullFramePixelBuffer {
public:
  enum class Method { shmPixmap, shmImage, plainImage };

  // A buffer over `rect` of `window` (the whole window when `rect` is empty)
  // on the open display, cleared to 0. `perm` is the owner to give System V
  // segments (see plat::SharedMemSysV), null to keep the creating user.
  // `fastest` is the first way tried (later ones are the fallbacks);
  // "_UseXShm" off means the plain way only. MIT-SHM failures are logged and
  // fall back; other failures (no usable pixmap format, unsupported visual,
  // bad scanline pad, "XGetGeometry failed", no segment) throw
  // plat::Exception with nothing left behind.
  PixelBufferX11(Window window, const ipc_perm* perm, const rfb::Rect& rect = rfb::Rect(),
                 Method fastest = Method::shmPixmap);
  ~PixelBufferX11() override;

  // Makes the pixels of `region` equal to the screen. A region of more
  // rectangles than "_MaxGrabRects" is grabbed as its bounding box; parts
  // outside the buffer or outside a non-empty clip region are left alone.
  // X errors (an area the window does not have, a window that is not
  // viewable) are logged and leave the old pixels.
  void grabRegion(const rfb::Region& region) override;

  // Queues a copy of the screen under `region`, an XFIXES region in the
  // window's coordinates, into the buffer, and returns true; nothing is
  // waited for. The pixels are in place once the server has answered any
  // later request; the caller then names them with markFresh(). Returns
  // false, having sent nothing, unless the buffer uses the shared pixmap and
  // its clip region (if any) covers all of it, or when the XFIXES library
  // cannot clip copies to a region.
  bool queueGrab(unsigned long region);
  // `area` (framebuffer coordinates) equals the screen since after the last
  // damage taken: the next grabRegion leaves it out, once. Only valid for
  // areas whose later changes the caller will have the buffer grab again.
  void markFresh(const rfb::Region& area);
  const rfb::Region& freshRegion() const { return fresh_; }

  // The segment holding the pixels; never null.
  plat::SharedMem* getSharedMem() override;

  // Makes the buffer show the area of the window of its size whose top-left
  // is `topLeft` (a scratch buffer that reads several areas in turn). The
  // pixels keep their values until grabbed; the fresh region is dropped.
  void moveTo(const rfb::Point& topLeft);

  // Restricts every later grab to `clip` (framebuffer coordinates); an empty
  // region removes the restriction.
  void setClipRegion(const rfb::Region& clip);
  const rfb::Region& clipRegion() const { return clip_; }

  Method method() const { return method_; }
  Window window() const { return window_; }
  // Bits, from the server's pixmap format for the screen depth.
  int scanlinePad() const { return scanlinePad_; }
  int bytesPerLine() const { return stride_ * bytesPerPixel(); }

  // The stride in pixels for `width` pixels of `bpp` bits in rows padded to
  // `scanlinePad` bits. Throws plat::AssertionFail "Bad X server scanline
  // pad <pad>" unless the pad is a power of two and a multiple of bpp.
  static int strideFor(int width, int bpp, int scanlinePad);

  // The rectangles a grab of `region` refreshes, in region order: the
  // region, or its bounding box when it has more than `maxRects`
  // rectangles, within `bounds` and, when `clip` is not empty, within it.
  static rfb::Region grabArea(const rfb::Region& region, int maxRects, const rfb::Rect& bounds,
                              const rfb::Region& clip);

private:
  struct Screen;
  // For images that own their pixels.
  struct ImageDeleter {
    void operator()(_XImage* image) const;
  };
  // For images over the segment.
  struct SegmentImageDeleter {
    void operator()(_XImage* image) const;
  };
  using ImagePtr = std::unique_ptr<_XImage, ImageDeleter>;
  using SegmentImagePtr = std::unique_ptr<_XImage, SegmentImageDeleter>;

  PixelBufferX11(Window window, const ipc_perm* perm, const Screen& screen, Method fastest);
  static Screen describeScreen(Window window, const rfb::Rect& rect);

  uint32_t imageSize() const;
  void setUpShm(const ipc_perm* perm, Method fastest);
  bool trySharedPixmap();
  void setUpSharedImage();
  void releaseShm() noexcept;
  void setUpPlainImage();

  void grabIntoPixmap(const rfb::Region& area);
  void grabWhole();
  void grabRects(const rfb::Region& area);
  void grabRect(const rfb::Rect& r);

  Window window_;
  int depth_;
  int scanlinePad_;
  Method method_ = Method::plainImage;

  // Declared in order of acquisition; released in reverse.
  std::unique_ptr<ColourMapX11> ownColourMap_;
  std::unique_ptr<plat::SharedMem> shm_;
  std::unique_ptr<XShmAttachment> attachment_;
  std::unique_ptr<XShmPixmap> pixmap_;
  SegmentImagePtr image_;
  rfb::Region clip_;
  bool clipCoversBuffer_ = true;
  rfb::Region fresh_;
};

} // namespace tx
