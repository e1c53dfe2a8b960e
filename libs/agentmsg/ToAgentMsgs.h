#pragma once

// The messages a server sends to the agent, one plain record per message,
// each with its wire name, its payload writer and a resumable payload reader
// (see ParseState). write() and read() handle the payload only: the name in
// front of it is written by the channel (io::MsgIpc::writeMsg) and consumed
// by the channel's dispatch. Integers are big-endian; a short string is a U8
// length and at most 255 bytes, a string a U32 length and the bytes.
//
// Readers check every size the peer sends before using it and throw
// plat::Exception (or rdr::StringTooLongException) for one that is out of
// range; on the channel that closes the connection.
// A record with check() throws plat::Exception there for values the peer
// would refuse; write() checks first and so writes nothing then.

#include "libs/agentmsg/NoPayload.h"

#include <cstdint>
#include <string>
#include <vector>

namespace agentmsg {

// Texts exchanged as clipboard contents. A length with bit 31 set is never
// valid; longer texts than this are refused rather than allocated.
constexpr size_t maxCutTextLength = 64 * 1024 * 1024;
// The longest value of a parameter record and the longest log or failure text.
constexpr size_t maxParamValueLength = 1024;

struct Start : NoPayload {
  static constexpr const char* name = "start";
};

struct Stop : NoPayload {
  static constexpr const char* name = "stop";
};

struct FbUpdateRequest : NoPayload {
  static constexpr const char* name = "fbUpdateRequest";
};

struct PointerEvent {
  static constexpr const char* name = "pointerEvent";
  int32_t x = 0;
  int32_t y = 0;
  uint32_t buttonMask = 0;
  bool relative = false;

  void write(rdr::OutStream& os) const;
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const PointerEvent&) const = default;
};

struct KeyEvent {
  static constexpr const char* name = "keyEvent";
  uint32_t keysym = 0;
  bool down = false;

  void write(rdr::OutStream& os) const;
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const KeyEvent&) const = default;
};

struct ClientCutText {
  static constexpr const char* name = "clientCutText";
  std::string text;

  // Throws plat::Exception for a text longer than maxCutTextLength.
  void check() const;
  void write(rdr::OutStream& os) const;
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const ClientCutText&) const = default;
};

struct ParamRecord {
  std::string name;
  std::string value;
  // 0 states the server's idea of the default; higher priorities set it.
  uint32_t priority = 0;
  bool operator==(const ParamRecord&) const = default;
};

struct SetParams {
  static constexpr const char* name = "setParams";
  std::vector<ParamRecord> records;

  // Names are cut to 255 bytes by the short-string form; a value longer
  // than maxParamValueLength throws plat::Exception before anything of the
  // record is written (the agent would refuse it and close the channel).
  void check() const;
  void write(rdr::OutStream& os) const;
  // Records up to the end of the message, checkpointed one by one.
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const SetParams&) const = default;
};

struct SetXServerOwner {
  static constexpr const char* name = "SetXServerOwner";
  uint64_t uid = 0;
  uint64_t gid = 0;

  void write(rdr::OutStream& os) const;
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const SetXServerOwner&) const = default;
};

struct SetDisplayMode {
  static constexpr const char* name = "setDisplayMode";
  uint32_t width = 0;
  uint32_t height = 0;

  void write(rdr::OutStream& os) const;
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const SetDisplayMode&) const = default;
};

struct SetMonitor {
  static constexpr const char* name = "setMonitor";
  // Empty: no selection (the whole screen).
  std::string spec;

  void write(rdr::OutStream& os) const;
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const SetMonitor&) const = default;
};

struct SetLogLevel {
  static constexpr const char* name = "setLogLevel";
  uint32_t level = 0;

  void write(rdr::OutStream& os) const;
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const SetLogLevel&) const = default;
};

// Either side's answer to a message name it has no reader for.
struct BadMsg {
  static constexpr const char* name = "badMsg";
  std::string msgName;

  void write(rdr::OutStream& os) const;
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const BadMsg&) const = default;
};

} // namespace agentmsg
