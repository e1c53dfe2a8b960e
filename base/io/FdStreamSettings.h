#pragma once

// Settings for one direction's stream of an io::FdIo. timeoutMs and
// bufferSize < 0 take the stream defaults; maxSize applies to output only
// (< 0: the "MaxOutBufferSize" parameter); lazy output defers writing to the
// loop's write pass, so that many small flushes in one pass leave in one
// write.

namespace io {

struct FdStreamSettings {
  int timeoutMs = -1;
  int bufferSize = -1;
  int maxSize = -1;
  bool lazy = false;
};

} // namespace io
