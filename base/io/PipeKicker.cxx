#include "base/io/PipeKicker.h"

#include "base/rdr/InStream.h"

namespace io {

PipeKicker::PipeKicker(plat::Kickee& kickee) : plat::Kicker(kickee), kicker_(*this) {}

void PipeKicker::kick() noexcept {
  kicker_.kick(0);
}

void PipeKicker::kicked(FdKicker&, rdr::InStream& in) {
  // Drain first, so that a kick made while the kickee runs leaves a byte in
  // the pipe and leads to another call.
  while (in.avail() > 0 || in.check(false, 1)) {
    in.getItems(1, drainChunk);
    // The stream keeps bytes from its checkpoint on; moving it lets the
    // buffer be reused instead of filling up with drained bytes.
    in.checkpoint();
  }
  notifyKickee();
}

} // namespace io
