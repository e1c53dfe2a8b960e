#include "libs/agentmsg/ToAgentMsgs.h"

#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/rdr/InStream.h"
#include "base/rdr/OutStream.h"
#include "libs/agentmsg/Wire.h"

namespace agentmsg {

void PointerEvent::write(rdr::OutStream& os) const {
  os.writeS32(x);
  os.writeS32(y);
  os.writeU32(buttonMask);
  os.writeU8(relative ? 1 : 0);
}

void PointerEvent::read(rdr::InStream& is, ParseState&) {
  x = is.readS32();
  y = is.readS32();
  buttonMask = is.readU32();
  relative = is.readU8() != 0;
}

void KeyEvent::write(rdr::OutStream& os) const {
  os.writeU32(keysym);
  os.writeU8(down ? 1 : 0);
}

void KeyEvent::read(rdr::InStream& is, ParseState&) {
  keysym = is.readU32();
  down = is.readU8() != 0;
}

void ClientCutText::check() const { wire::checkLength(text.size(), maxCutTextLength, name); }

void ClientCutText::write(rdr::OutStream& os) const {
  check();
  wire::writeBlock(os, text);
}

void ClientCutText::read(rdr::InStream& is, ParseState& state) {
  wire::readBlock(is, state, 0, text, maxCutTextLength, name);
}

void SetParams::check() const {
  for (const ParamRecord& record : records)
    wire::checkLength(record.value.size(), maxParamValueLength, name);
}

void SetParams::write(rdr::OutStream& os) const {
  check();
  for (const ParamRecord& record : records) {
    os.writeShortString(record.name);
    os.writeString(record.value);
    os.writeU32(record.priority);
  }
}

void SetParams::read(rdr::InStream& is, ParseState& state) {
  if (state.index == 0)
    records.clear();
  while (!is.atEnd()) {
    ParamRecord record;
    record.name = is.readShortString(true);
    record.value = is.readString(maxParamValueLength, true);
    record.priority = is.readU32();
    records.push_back(std::move(record));
    // A block later in the message must not read this record twice.
    is.checkpoint();
    state.index++;
  }
}

void SetXServerOwner::write(rdr::OutStream& os) const {
  os.writeU64(uid);
  os.writeU64(gid);
}

void SetXServerOwner::read(rdr::InStream& is, ParseState&) {
  uid = is.readU64();
  gid = is.readU64();
}

void SetDisplayMode::write(rdr::OutStream& os) const {
  os.writeU32(width);
  os.writeU32(height);
}

void SetDisplayMode::read(rdr::InStream& is, ParseState&) {
  width = is.readU32();
  height = is.readU32();
}

void SetMonitor::write(rdr::OutStream& os) const { os.writeShortString(spec); }

// Output names are bytes from the X server, not necessarily UTF-8.
void SetMonitor::read(rdr::InStream& is, ParseState&) { spec = is.readShortString(); }

void SetLogLevel::write(rdr::OutStream& os) const { os.writeU32(level); }

void SetLogLevel::read(rdr::InStream& is, ParseState&) { level = is.readU32(); }

void BadMsg::write(rdr::OutStream& os) const { os.writeShortString(msgName); }

void BadMsg::read(rdr::InStream& is, ParseState&) { msgName = is.readShortString(true); }

} // namespace agentmsg
