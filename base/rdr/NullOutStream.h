#pragma once

// An output stream that discards everything written to it (counting it).

#include "base/rdr/OutStream.h"

#include <vector>

namespace rdr {

class NullOutStream : public OutStream {
public:
  NullOutStream();

  size_t length() const override { return discarded_ + size_t(ptr - scratch_.data()); }
  size_t overrun(size_t itemSize, size_t nItems) override;

private:
  std::vector<uint8_t> scratch_;
  size_t discarded_ = 0;
};

} // namespace rdr
