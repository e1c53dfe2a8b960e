#include "libs/svr/MonitorInfo.h"

#include "base/rdr/OutStream.h"

namespace svr {

void MonitorInfo::write(rdr::OutStream& out) const {
  out.writeU8(primary ? 1 : 0);
  out.writeU8(flagA);
  out.writeU8(0);
  out.writeU8(flagB);
  out.writeU32(depth);
  out.writeS32(rect.tl.x);
  out.writeS32(rect.tl.y);
  out.writeS32(rect.br.x);
  out.writeS32(rect.br.y);
  out.writeShortString(name);
  out.writeShortString(label ? std::string_view(*label) : std::string_view());
  out.writeShortString(std::string_view());
}

} // namespace svr
