#pragma once

// A System V segment attached to the X server through MIT-SHM, so that the
// server reads and writes the same bytes as this process. Owns the
// attachment, not the segment: the segment must outlive it. Destruction
// detaches and waits for the server, so that once it returns the server no
// longer holds the segment and removing it frees the memory at once.
//
// The segment record is on the heap at a fixed address: shared images keep a
// pointer to it for their whole life.

#include "uilibs/tx/XTypes.h"

#include <memory>

namespace tx {

class XShmAttachment {
public:
  // Attaches segment `shmid`, mapped here at `address`, read-write. Throws
  // tx::XErrorException "XShmAttach failed: <X error text>" when the server
  // refuses it (for instance it may not access the segment).
  XShmAttachment(Display* dpy, int shmid, void* address);
  ~XShmAttachment();
  XShmAttachment(const XShmAttachment&) = delete;
  XShmAttachment& operator=(const XShmAttachment&) = delete;

  // The XShmSegmentInfo record, for the MIT-SHM calls; Xlib names it only
  // through an anonymous struct, so it is handed out untyped.
  void* info() const;

private:
  struct Info;
  Display* dpy_;
  std::unique_ptr<Info> info_;
};

} // namespace tx
