#pragma once

// An FdInStream that owns its descriptor and closes it when destroyed.

#include "base/rdr/FdInStream.h"

namespace rdr {

class FdInStreamOwn : public FdInStream {
public:
  explicit FdInStreamOwn(int fd, int timeoutMs = -1, int bufferSize = -1, bool rewindOnBlock = false);
  ~FdInStreamOwn() override;
};

} // namespace rdr
