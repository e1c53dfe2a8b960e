#pragma once

// The loop's realisation of plat::Kicker: an io::FdKicker whose bytes are
// drained on the loop thread before the kickee is told. Kicks that arrive
// before the drain are merged into one `kicked`; a later kick gives another.
// Must be constructed on the loop thread (it registers with the current
// io::FdManager).

#include "base/io/FdKicker.h"
#include "base/io/FdKickerCallback.h"
#include "base/plat/Kicker.h"

namespace io {

class PipeKicker : public plat::Kicker, private FdKickerCallback {
public:
  explicit PipeKicker(plat::Kickee& kickee);

  void kick() noexcept override;

  static constexpr size_t drainChunk = 4096;

private:
  void kicked(FdKicker& kicker, rdr::InStream& in) override;

  FdKicker kicker_;
};

} // namespace io
