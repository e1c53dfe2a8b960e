#include "base/rdr/HexDump.h"

#include "base/plat/Format.h"
#include "base/plat/LogSrc.h"

#include <algorithm>

namespace rdr {

namespace {

constexpr size_t bytesPerLine = 16;

} // namespace

std::string hexDumpLine(const char* marker, size_t offset, const uint8_t* data, size_t n) {
  std::string line = plat::format("%s%06zx:", marker, offset);
  for (size_t i = 0; i < bytesPerLine; i++)
    line += i < n ? plat::format(" %02x", data[i]) : std::string("   ");
  line += "  ";
  for (size_t i = 0; i < n; i++)
    line += data[i] >= 0x20 && data[i] < 0x7f ? char(data[i]) : '.';
  return line;
}

void hexDump(plat::LogSrc& log, const char* marker, const uint8_t* data, size_t n) {
  for (size_t offset = 0; offset < n; offset += bytesPerLine) {
    size_t count = std::min(bytesPerLine, n - offset);
    log.write(plat::LogSrc::levelDebug, hexDumpLine(marker, offset, data + offset, count).c_str());
  }
}

} // namespace rdr
