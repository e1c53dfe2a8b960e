#pragma once

// The messages the agent sends to its server, one plain record per message,
// with the same conventions as ToAgentMsgs.h: wire name, payload writer,
// resumable payload reader; the name itself is handled by the channel.
// Readers check every size the peer sends before using it and throw
// plat::Exception for one out of range (which closes the channel).

#include "base/rfb/PixelFormat.h"
#include "base/rfb/Rect.h"
#include "base/rfb/Region.h"
#include "libs/agentmsg/NoPayload.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace agentmsg {

// The largest cursor image accepted, in bytes of pixels.
constexpr size_t maxCursorBytes = 16 * 1024 * 1024;

struct Init {
  static constexpr const char* name = "init";
  static constexpr std::array<uint8_t, 4> expectedMagic{0x7C, 0xCA, 0x9E, 0xCB};
  std::array<uint8_t, 4> magic = expectedMagic;

  void write(rdr::OutStream& os) const;
  // Throws plat::Exception "init: bad magic ..." for any other four bytes:
  // the peer does not speak this protocol.
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const Init&) const = default;
};

struct InitRectAndPf {
  static constexpr const char* name = "initRectAndPf";
  rfb::Rect rect;
  rfb::PixelFormat pf;

  void write(rdr::OutStream& os) const;
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const InitRectAndPf&) const = default;
};

// A shared-memory segment as the agent describes it (the wire form that
// plat::SharedMem writes and plat::SharedMemFactory reads).
struct SegmentDescription {
  enum Type : uint8_t { posix = 0, sysV = 1 };
  Type type = posix;
  uint32_t size = 0;
  // POSIX: object name (or file path when isFile) and the data's offset.
  std::string name;
  bool isFile = false;
  uint64_t position = 0;
  // System V: the segment id.
  int32_t id = -1;
  // The description as the segment itself wrote it (plat::SharedMem), sent
  // instead of the fields when not empty; read() never sets it.
  std::vector<uint8_t> written;

  void write(rdr::OutStream& os) const;
  // Throws plat::Exception "Unsupported memory type received" for a type
  // byte other than 0 and 1; names longer than 1024 bytes are refused.
  void read(rdr::InStream& is);
  bool operator==(const SegmentDescription&) const = default;
};

struct SetPixelBuffer {
  static constexpr const char* name = "setPixelBuffer";
  rfb::PixelFormat pf;
  rfb::Rect rect;
  // Pixels from one row to the next.
  uint32_t stride = 0;
  // Present exactly when the buffer lives in another segment than the one
  // announced before (segmentChanged on the wire).
  std::optional<SegmentDescription> segment;

  void write(rdr::OutStream& os) const;
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const SetPixelBuffer&) const = default;
};

struct Rgb {
  uint8_t r = 0;
  uint8_t g = 0;
  uint8_t b = 0;
  bool operator==(const Rgb&) const = default;
};

struct SetColourMapEntries {
  static constexpr const char* name = "setColourMapEntries";
  uint8_t first = 0;
  // 1 to 256 - first entries.
  std::vector<Rgb> colours;

  // Throws plat::Exception when the entries do not fit the 256-entry map
  // or there are none.
  void check() const;
  void write(rdr::OutStream& os) const;
  // Throws plat::Exception when first + count exceeds 256.
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const SetColourMapEntries&) const = default;
};

struct FbUpdate {
  static constexpr const char* name = "fbUpdate";
  // Destination area of a copy; destination = source + (dx, dy).
  rfb::Region copied;
  int32_t dx = 0;
  int32_t dy = 0;
  rfb::Region changed;

  void write(rdr::OutStream& os) const;
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const FbUpdate&) const = default;
};

struct SetCursorImage {
  static constexpr const char* name = "setCursorImage";
  bool present = false;
  rfb::PixelFormat pf;
  // Hotspot at the origin: tl is minus the hotspot.
  rfb::Rect rect;
  uint32_t alphaThreshold = 128;
  // width x height x bytes per pixel, rows without padding.
  std::vector<uint8_t> pixels;

  // Throws plat::Exception when the pixels do not match the rectangle and
  // format.
  void check() const;
  void write(rdr::OutStream& os) const;
  // Refuses a byte count that does not equal width x height x bytes per
  // pixel, a negative size, or more than maxCursorBytes.
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const SetCursorImage&) const = default;
  // The byte count the rectangle and format call for; throws when it is out
  // of range.
  size_t expectedBytes() const;
};

struct SetCursorPos {
  static constexpr const char* name = "setCursorPos";
  int32_t x = 0;
  int32_t y = 0;

  void write(rdr::OutStream& os) const;
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const SetCursorPos&) const = default;
};

struct Bell : NoPayload {
  static constexpr const char* name = "bell";
};

struct ServerCutText {
  static constexpr const char* name = "serverCutText";
  std::string text;

  void check() const;
  void write(rdr::OutStream& os) const;
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const ServerCutText&) const = default;
};

struct LocalInput : NoPayload {
  static constexpr const char* name = "localInput";
};

struct SetBlankRegion {
  static constexpr const char* name = "setBlankRegion";
  rfb::Region region;

  void write(rdr::OutStream& os) const;
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const SetBlankRegion&) const = default;
};

struct DesktopFailure {
  static constexpr const char* name = "desktopFailure";
  std::string message;
  std::string kind;

  void write(rdr::OutStream& os) const;
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const DesktopFailure&) const = default;
};

struct CloseClients {
  static constexpr const char* name = "closeClients";
  // At most 1024 bytes are sent.
  std::string message;
  std::string kind;
  uint32_t code = 0;

  void write(rdr::OutStream& os) const;
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const CloseClients&) const = default;
};

struct CaptureBroken {
  static constexpr const char* name = "captureBroken";
  bool broken = false;

  void write(rdr::OutStream& os) const;
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const CaptureBroken&) const = default;
};

struct DesktopUidChanged {
  static constexpr const char* name = "desktopUidChanged";
  uint32_t uid = 0;
  // Empty when the desktop user has none.
  std::string xauthFile;

  void write(rdr::OutStream& os) const;
  // The wire carries the uid in 64 bits; one that does not fit 32 bits is
  // refused rather than cut to another user's id.
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const DesktopUidChanged&) const = default;
};

struct MonitorInfo {
  bool primary = false;
  uint8_t flagA = 0;
  uint8_t flagB = 1;
  uint32_t depth = 0;
  rfb::Rect rect;
  std::string name;
  std::string label;
  bool operator==(const MonitorInfo&) const = default;
};

struct MonitorsUpdated {
  static constexpr const char* name = "monitorsUpdated";
  // At most 255.
  std::vector<MonitorInfo> monitors;
  std::string parameterSpec;
  std::string effectiveSpec;

  // Throws plat::Exception for more than 255 monitors.
  void check() const;
  void write(rdr::OutStream& os) const;
  // Monitor records are checkpointed one by one.
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const MonitorsUpdated&) const = default;
};

struct DisplayModesSupported {
  static constexpr const char* name = "displayModesSupported";
  bool supported = false;

  void write(rdr::OutStream& os) const;
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const DisplayModesSupported&) const = default;
};

struct DisplayModesUpdated : NoPayload {
  static constexpr const char* name = "displayModesUpdated";
};

struct LogMsg {
  static constexpr const char* name = "logMsg";
  uint32_t level = 0;
  std::string source;
  // At most 1024 bytes are sent.
  std::string text;

  void write(rdr::OutStream& os) const;
  void read(rdr::InStream& is, ParseState& state);
  bool operator==(const LogMsg&) const = default;
};

} // namespace agentmsg
