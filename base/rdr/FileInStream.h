#pragma once

// A buffered input stream reading a file from its start. The end of the
// file is rdr::EndOfStream.

#include "base/rdr/BufferedInStream.h"

#include <string>

namespace rdr {

class FileInStream : public BufferedInStream {
public:
  // Throws plat::SystemException "open(<path>)" when the file cannot be opened.
  explicit FileInStream(const std::string& path, int bufferSize = -1);
  ~FileInStream() override;

protected:
  size_t readSome(uint8_t* buffer, size_t max) override;

private:
  int fd_;
};

} // namespace rdr
