#pragma once

// Debug dumps of stream traffic: 16 bytes a line, offset, hex and printable
// characters, each line starting with a direction marker (" <-- " for bytes
// read, " --> " for bytes written).

#include <cstddef>
#include <cstdint>
#include <string>

namespace plat {
class LogSrc;
}

namespace rdr {

std::string hexDumpLine(const char* marker, size_t offset, const uint8_t* data, size_t n);

// Logs the whole block at debug level, one line per 16 bytes.
void hexDump(plat::LogSrc& log, const char* marker, const uint8_t* data, size_t n);

} // namespace rdr
