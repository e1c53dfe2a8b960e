#include "libs/agentmsg/Wire.h"

#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/rdr/InStream.h"
#include "base/rdr/OutStream.h"
#include "libs/agentmsg/ParseState.h"

namespace agentmsg::wire {

void writeRect(rdr::OutStream& os, const rfb::Rect& rect) {
  os.writeS32(rect.tl.x);
  os.writeS32(rect.tl.y);
  os.writeS32(rect.br.x);
  os.writeS32(rect.br.y);
}

rfb::Rect readRect(rdr::InStream& is) {
  int32_t x1 = is.readS32();
  int32_t y1 = is.readS32();
  int32_t x2 = is.readS32();
  int32_t y2 = is.readS32();
  return rfb::Rect(x1, y1, x2, y2);
}

void checkLength(uint64_t length, uint64_t max, const char* what) {
  if (length > max)
    throw plat::Exception(plat::format("%s: length %llu exceeds %llu", what,
                                       (unsigned long long)length, (unsigned long long)max));
}

void readBlock(rdr::InStream& is, ParseState& state, int first, std::string& out, size_t max,
               const char* what) {
  if (state.stage == first) {
    uint32_t length = is.readU32();
    checkLength(length, max, what);
    state.length = length;
    // The length is not read again, even when the bytes take many arrivals.
    is.checkpoint();
    state.stage = first + 1;
  }
  std::span<const uint8_t> block = collectBlock(is, state);
  out.assign(reinterpret_cast<const char*>(block.data()), block.size());
  state.stage = first + 2;
}

std::span<const uint8_t> collectBlock(rdr::InStream& is, ParseState& state) {
  state.bytes.init(is, state.length);
  // With wait, a block that is not complete yet throws rdr::BlockException
  // after checkpointing what it has collected.
  std::span<const uint8_t> block = *state.bytes.collect(true);
  is.checkpoint();
  return block;
}

void writeBlock(rdr::OutStream& os, const std::string& bytes) {
  os.writeU32(uint32_t(bytes.size()));
  os.writeBytes(bytes.data(), bytes.size());
}

} // namespace agentmsg::wire
