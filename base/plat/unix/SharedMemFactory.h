#pragma once

// The reading side of segment descriptions (see SharedMem for the wire
// form): reads a description and opens the segment it names, creating
// nothing. Used by the process that receives descriptions.
//
// Defined in the header: the platform library sits below the stream library
// and does not link it, so the stream calls are compiled into the caller,
// which has a stream and therefore links it.

#include "base/plat/Exception.h"
#include "base/plat/unix/SharedMemPosix.h"
#include "base/plat/unix/SharedMemSysV.h"
#include "base/rdr/InStream.h"

#include <memory>
#include <string>

namespace plat {

class SharedMemFactory {
public:
  // Reads one description from `is` and maps or attaches its segment.
  // Throws plat::Exception "Unsupported memory type received" for an
  // unknown type byte, rdr::StringTooLongException for a name longer than
  // SharedMem::maxNameLength, and whatever opening the segment throws.
  static std::unique_ptr<SharedMem> read(rdr::InStream& is) {
    switch (is.readU8()) {
    case SharedMem::typePosix:
      return readPosix(is);
    case SharedMem::typeSysV:
      return readSysV(is);
    default:
      throw Exception("Unsupported memory type received");
    }
  }

private:
  static std::unique_ptr<SharedMem> readPosix(rdr::InStream& is) {
    uint32_t size = is.readU32();
    std::string name = is.readString(SharedMem::maxNameLength);
    bool isFile = is.readU8() != 0;
    uint64_t position = is.readU64();
    return SharedMemPosix::receive(name, size, isFile, position);
  }

  static std::unique_ptr<SharedMem> readSysV(rdr::InStream& is) {
    uint32_t size = is.readU32();
    int id = is.readS32();
    return SharedMemSysV::attach(id, size);
  }
};

} // namespace plat
