#include "libs/agentmsg/FromAgentMsgs.h"

#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/unix/SharedMem.h"
#include "base/rdr/InStream.h"
#include "base/rdr/OutStream.h"
#include "libs/agentmsg/ToAgentMsgs.h"
#include "libs/agentmsg/Wire.h"

#include <limits>

namespace agentmsg {

void Init::write(rdr::OutStream& os) const { os.writeBytes(magic.data(), magic.size()); }

void Init::read(rdr::InStream& is, ParseState&) {
  is.readBytes(magic.data(), magic.size());
  if (magic != expectedMagic)
    throw plat::Exception(plat::format("init: bad magic %02x%02x%02x%02x", magic[0], magic[1],
                                       magic[2], magic[3]));
}

void InitRectAndPf::write(rdr::OutStream& os) const {
  wire::writeRect(os, rect);
  pf.write(os);
}

void InitRectAndPf::read(rdr::InStream& is, ParseState&) {
  rect = wire::readRect(is);
  pf.read(is);
}

void SegmentDescription::write(rdr::OutStream& os) const {
  if (!written.empty()) {
    os.writeBytes(written.data(), written.size());
    return;
  }
  os.writeU8(type);
  os.writeU32(size);
  if (type == sysV) {
    os.writeS32(id);
    return;
  }
  os.writeString(name);
  os.writeU8(isFile ? 1 : 0);
  os.writeU64(position);
}

void SegmentDescription::read(rdr::InStream& is) {
  uint8_t kind = is.readU8();
  if (kind != posix && kind != sysV)
    throw plat::Exception("Unsupported memory type received");
  type = Type(kind);
  size = is.readU32();
  if (type == sysV) {
    id = is.readS32();
    return;
  }
  name = is.readString(plat::SharedMem::maxNameLength);
  isFile = is.readU8() != 0;
  position = is.readU64();
}

void SetPixelBuffer::write(rdr::OutStream& os) const {
  pf.write(os);
  wire::writeRect(os, rect);
  os.writeU32(stride);
  os.writeU8(segment ? 1 : 0);
  if (segment)
    segment->write(os);
}

void SetPixelBuffer::read(rdr::InStream& is, ParseState& state) {
  if (state.stage == 0) {
    pf.read(is);
    rect = wire::readRect(is);
    stride = is.readU32();
    bool changed = is.readU8() != 0;
    segment.reset();
    if (changed)
      segment.emplace();
    is.checkpoint();
    state.stage = 1;
  }
  if (segment)
    segment->read(is);
}

void SetColourMapEntries::check() const {
  if (colours.empty() || first + colours.size() > 256)
    throw plat::Exception(plat::format("setColourMapEntries: %zu entries from %d do not fit",
                                       colours.size(), first));
}

void SetColourMapEntries::write(rdr::OutStream& os) const {
  check();
  os.writeU8(first);
  os.writeU8(uint8_t(colours.size() - 1));
  for (const Rgb& colour : colours) {
    os.writeU8(colour.r);
    os.writeU8(colour.g);
    os.writeU8(colour.b);
  }
}

void SetColourMapEntries::read(rdr::InStream& is, ParseState&) {
  first = is.readU8();
  size_t count = size_t(is.readU8()) + 1;
  if (first + count > 256)
    throw plat::Exception(
        plat::format("setColourMapEntries: %zu entries from %d do not fit", count, first));
  colours.resize(count);
  for (Rgb& colour : colours) {
    colour.r = is.readU8();
    colour.g = is.readU8();
    colour.b = is.readU8();
  }
}

void FbUpdate::write(rdr::OutStream& os) const {
  copied.write(os);
  os.writeS32(dx);
  os.writeS32(dy);
  changed.write(os);
}

void FbUpdate::read(rdr::InStream& is, ParseState& state) {
  // Each region resumes its own read across blocks; the stages keep the
  // second from starting before the first and the offset are complete.
  if (state.stage == 0) {
    copied.read(is);
    is.checkpoint();
    state.stage = 1;
  }
  if (state.stage == 1) {
    dx = is.readS32();
    dy = is.readS32();
    is.checkpoint();
    state.stage = 2;
  }
  changed.read(is);
  is.checkpoint();
  state.stage = 3;
}

size_t SetCursorImage::expectedBytes() const {
  if (rect.isEmpty())
    return 0;
  // Each factor is below 2^32 and bytes per pixel at most 31: no overflow
  // in 64 bits, and the result is checked before it is narrowed.
  uint64_t bytes = uint64_t(uint32_t(rect.width())) * uint32_t(rect.height()) *
                   uint64_t(pf.bytesPerPixel());
  wire::checkLength(bytes, maxCursorBytes, name);
  return size_t(bytes);
}

void SetCursorImage::check() const {
  if (present && (rect.width() < 0 || rect.height() < 0 || pixels.size() != expectedBytes()))
    throw plat::Exception(plat::format("setCursorImage: %zu bytes of pixels for a %dx%d cursor",
                                       pixels.size(), rect.width(), rect.height()));
}

void SetCursorImage::write(rdr::OutStream& os) const {
  check();
  if (!present) {
    os.writeU8(0);
    return;
  }
  os.writeU8(1);
  pf.write(os);
  wire::writeRect(os, rect);
  os.writeU32(alphaThreshold);
  os.writeU32(uint32_t(pixels.size()));
  os.writeBytes(pixels.data(), pixels.size());
}

void SetCursorImage::read(rdr::InStream& is, ParseState& state) {
  if (state.stage == 0) {
    present = is.readU8() != 0;
    pixels.clear();
    if (!present)
      return;
    pf.read(is);
    rect = wire::readRect(is);
    alphaThreshold = is.readU32();
    uint32_t byteCount = is.readU32();
    if (rect.width() < 0 || rect.height() < 0 || byteCount != expectedBytes())
      throw plat::Exception(plat::format("setCursorImage: %u bytes for a %dx%d cursor at %d bpp",
                                         byteCount, rect.width(), rect.height(), int(pf.bpp)));
    state.length = byteCount;
    is.checkpoint();
    state.stage = 1;
  }
  std::span<const uint8_t> block = wire::collectBlock(is, state);
  pixels.assign(block.begin(), block.end());
  state.stage = 2;
}

void SetCursorPos::write(rdr::OutStream& os) const {
  os.writeS32(x);
  os.writeS32(y);
}

void SetCursorPos::read(rdr::InStream& is, ParseState&) {
  x = is.readS32();
  y = is.readS32();
}

void ServerCutText::check() const { wire::checkLength(text.size(), maxCutTextLength, name); }

void ServerCutText::write(rdr::OutStream& os) const {
  check();
  wire::writeBlock(os, text);
}

void ServerCutText::read(rdr::InStream& is, ParseState& state) {
  wire::readBlock(is, state, 0, text, maxCutTextLength, name);
}

void SetBlankRegion::write(rdr::OutStream& os) const { region.write(os); }

void SetBlankRegion::read(rdr::InStream& is, ParseState&) {
  region.read(is);
  is.checkpoint();
}

void DesktopFailure::write(rdr::OutStream& os) const {
  os.writeShortString(message);
  os.writeShortString(kind);
}

void DesktopFailure::read(rdr::InStream& is, ParseState&) {
  message = is.readShortString(true);
  kind = is.readShortString(true);
}

void CloseClients::write(rdr::OutStream& os) const {
  os.writeString(message, maxParamValueLength);
  os.writeShortString(kind);
  os.writeU32(code);
}

void CloseClients::read(rdr::InStream& is, ParseState&) {
  message = is.readString(maxParamValueLength, true);
  kind = is.readShortString(true);
  code = is.readU32();
}

void CaptureBroken::write(rdr::OutStream& os) const { os.writeU8(broken ? 1 : 0); }

void CaptureBroken::read(rdr::InStream& is, ParseState&) { broken = is.readU8() != 0; }

void DesktopUidChanged::write(rdr::OutStream& os) const {
  os.writeU64(uid);
  os.writeShortString(xauthFile);
}

void DesktopUidChanged::read(rdr::InStream& is, ParseState&) {
  uint64_t wide = is.readU64();
  if (wide > std::numeric_limits<uint32_t>::max())
    throw plat::Exception(
        plat::format("desktopUidChanged: uid %llu out of range", (unsigned long long)wide));
  uid = uint32_t(wide);
  xauthFile = is.readShortString();
}

void MonitorsUpdated::check() const {
  if (monitors.size() > 255)
    throw plat::Exception(plat::format("monitorsUpdated: %zu monitors", monitors.size()));
}

void MonitorsUpdated::write(rdr::OutStream& os) const {
  check();
  os.writeU8(uint8_t(monitors.size()));
  for (const MonitorInfo& monitor : monitors) {
    os.writeU8(monitor.primary ? 1 : 0);
    os.writeU8(monitor.flagA);
    os.writeU8(0);
    os.writeU8(monitor.flagB);
    os.writeU32(monitor.depth);
    wire::writeRect(os, monitor.rect);
    os.writeShortString(monitor.name);
    os.writeShortString(monitor.label);
    os.writeShortString("");
  }
  os.writeShortString(parameterSpec);
  os.writeShortString(effectiveSpec);
}

void MonitorsUpdated::read(rdr::InStream& is, ParseState& state) {
  if (state.stage == 0) {
    monitors.clear();
    state.length = is.readU8();
    is.checkpoint();
    state.stage = 1;
  }
  if (state.stage == 1) {
    while (state.index < state.length) {
      MonitorInfo monitor;
      monitor.primary = is.readU8() != 0;
      monitor.flagA = is.readU8();
      is.readU8();
      monitor.flagB = is.readU8();
      monitor.depth = is.readU32();
      monitor.rect = wire::readRect(is);
      monitor.name = is.readShortString(true);
      monitor.label = is.readShortString(true);
      is.readShortString();
      monitors.push_back(std::move(monitor));
      // Up to 255 records of up to 789 bytes: do not read them all again.
      is.checkpoint();
      state.index++;
    }
    state.stage = 2;
  }
  parameterSpec = is.readShortString(true);
  effectiveSpec = is.readShortString(true);
}

void DisplayModesSupported::write(rdr::OutStream& os) const { os.writeU8(supported ? 1 : 0); }

void DisplayModesSupported::read(rdr::InStream& is, ParseState&) {
  supported = is.readU8() != 0;
}

void LogMsg::write(rdr::OutStream& os) const {
  os.writeU32(level);
  os.writeString(source, maxParamValueLength);
  os.writeString(text, maxParamValueLength);
}

void LogMsg::read(rdr::InStream& is, ParseState&) {
  level = is.readU32();
  source = is.readString(maxParamValueLength, true);
  text = is.readString(maxParamValueLength, true);
}

} // namespace agentmsg
