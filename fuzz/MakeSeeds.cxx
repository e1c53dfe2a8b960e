// Writes the seed corpora of the fuzz targets: fuzz_make_seeds <folder>
// makes <folder>/<Target>/<seed> for every target. The wire forms come from
// the project's own writers where it has them (regions, pixel formats);
// channel messages are framed here byte by byte so that the seeds also
// hold messages split over several frames.

#include "base/rdr/MemOutStream.h"
#include "base/rfb/PixelFormat.h"
#include "base/rfb/Rect.h"
#include "base/rfb/Region.h"
#include "fuzz/support/FuzzEnv.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::filesystem::path root;

void seed(const std::string& target, const std::string& name, const Bytes& bytes) {
  std::filesystem::create_directories(root / target);
  fuzz::writeFile((root / target / name).string(),
                  std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

void seed(const std::string& target, const std::string& name, std::string_view text) {
  seed(target, name, Bytes(text.begin(), text.end()));
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes u8(uint8_t v) { return {v}; }
Bytes u16(uint16_t v) { return {uint8_t(v >> 8), uint8_t(v)}; }
Bytes u32(uint32_t v) { return u16(uint16_t(v >> 16)) + u16(uint16_t(v)); }
Bytes u64(uint64_t v) { return u32(uint32_t(v >> 32)) + u32(uint32_t(v)); }
Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }
Bytes shortString(std::string_view s) { return u8(uint8_t(s.size())) + text(s); }
Bytes string(std::string_view s) { return u32(uint32_t(s.size())) + text(s); }

// One message in frames of at most `frameSize` data bytes.
Bytes message(std::string_view name, const Bytes& payload, size_t frameSize = 32766) {
  Bytes data = shortString(name) + payload;
  Bytes out;
  for (size_t at = 0; at < data.size(); at += frameSize) {
    size_t n = std::min(frameSize, data.size() - at);
    bool last = at + n == data.size();
    out = out + u16(uint16_t(n | (last ? 0x8000 : 0)));
    out.insert(out.end(), data.begin() + std::ptrdiff_t(at), data.begin() + std::ptrdiff_t(at + n));
  }
  return out;
}

// The piece-size header of the split-input targets.
Bytes split(std::initializer_list<uint8_t> sizes) {
  Bytes out{uint8_t(sizes.size())};
  out.insert(out.end(), sizes.begin(), sizes.end());
  return out;
}

Bytes param(std::string_view name, std::string_view value, uint32_t priority) {
  return shortString(name) + string(value) + u32(priority);
}

void channelSeeds() {
  const Bytes session =
      message("start", {}) + message("fbUpdateRequest", {}) +
      message("pointerEvent", u32(100) + u32(uint32_t(-5)) + u32(1) + u8(0)) +
      message("keyEvent", u32(0xff0d) + u8(1)) + message("clientCutText", string("hello")) +
      message("setParams", param("FuzzInt", "42", 10)) + message("setLogLevel", u32(100)) +
      message("SetXServerOwner", u64(1000) + u64(1000)) + message("stop", {});
  seed("ChannelReceive", "session-whole", split({}) + session);
  seed("ChannelReceive", "session-pieces", split({0, 6, 32}) + session);
  seed("ChannelReceive", "multi-frame",
       split({2}) + message("clientCutText", string("text over several frames"), 5) +
           message("keyEvent", u32(0x61) + u8(0), 3));
  seed("ChannelReceive", "unknown-and-bad",
       split({}) + message("noSuchMsg", u32(7)) + message("badMsg", shortString("what")) +
           message("keyEvent", u32(1) + u8(1)));
  seed("ChannelReceive", "bad-lead-byte", split({}) + message("\x01x", {}) +
                                              message("keyEvent", u32(2) + u8(1)));
  seed("ChannelReceive", "cut-invalid-length",
       split({1}) + message("clientCutText", u32(0x80000001)) + message("stop", {}));
}

void setParamsSeeds() {
  seed("SetParams", "kinds",
       split({}) + param("FuzzInt", "42", 10) + param("FuzzText", "some text", 10) +
           param("FuzzEnum", "quince", 20) + param("FuzzBool", "1", 10) +
           param("FuzzS64", "int64:00000000000000ff", 10) + param("FuzzBinary", "00ff7f", 10));
  seed("SetParams", "defaults", split({3}) + param("FuzzInt", "7", 0) +
                                    param("FuzzText", "not the default", 0) +
                                    param("NoSuchParameter", "1", 10));
  seed("SetParams", "log-and-bad-values",
       split({0, 9}) + param("Log", "*:file:100", 10) + param("LogFile", "/tmp/x.log", 10) +
           param("FuzzInt", "99999", 10) + param("FuzzEnum", "Banana", 4000000000u));
}

void regionSeeds() {
  auto wire = [](const rfb::Region& region) {
    rdr::MemOutStream out;
    region.write(out);
    return Bytes(out.data(), out.data() + out.length());
  };
  const std::array rects{rfb::Rect(0, 0, 10, 10), rfb::Rect(20, 5, 30, 40),
                         rfb::Rect(-8, 30, 4, 60)};
  seed("RegionRead", "empty", split({}) + wire(rfb::Region()));
  seed("RegionRead", "one-box", split({}) + wire(rfb::Region(rfb::Rect(1, 2, 60, 50))));
  seed("RegionRead", "three-boxes", split({1, 2}) + wire(rfb::Region(rects)));
  // Overlapping boxes out of order: not canonical, so the reader rebuilds.
  seed("RegionRead", "malformed",
       split({7}) + u16(3) + u16(0) + u16(0) + u16(40) + u16(40) + u16(10) + u16(10) + u16(40) +
           u16(40) + u16(0) + u16(0) + u16(20) + u16(20) + u16(5) + u16(5) + u16(30) + u16(12));
}

void pixelFormatSeeds() {
  auto wire = [](const rfb::PixelFormat& pf) {
    rdr::MemOutStream out;
    pf.write(out);
    return Bytes(out.data(), out.data() + out.length());
  };
  const Bytes pixels = u32(0x11223344) + u32(0xff00ff00) + u32(0x00ffffff);
  seed("PixelFormatRead", "rgb888", wire(rfb::PixelFormat::rgb888()) + pixels);
  seed("PixelFormatRead", "rgb565", wire(rfb::PixelFormat::rgb565()) + pixels);
  seed("PixelFormatRead", "pal8", wire(rfb::PixelFormat::pal8()) + pixels);
  seed("PixelFormatRead", "argb8888-big-endian",
       wire(rfb::PixelFormat(32, 32, true, true, 255, 255, 255, 255, 16, 8, 0, 24)) + pixels);
  seed("PixelFormatRead", "rgb24-big-endian",
       wire(rfb::PixelFormat(24, 24, true, true, 255, 255, 255, 0, 16, 8, 0, 0)) + pixels);
}

void commandLineSeeds() {
  using namespace std::string_view_literals;
  seed("CommandLine", "forms", "-FuzzInt=3\0--FuzzText=hi\0-FuzzBool\0FuzzEnum=quince"sv);
  seed("CommandLine", "pairs", "-FuzzS64\0int64:00000000000000ff\0-FuzzBinary\0a0b1"sv);
  seed("CommandLine", "alias", "-FuzzBoth=9\0-Log\0*:stderr:0"sv);
  seed("CommandLine", "help-xml", "-FuzzText=<&>\"'\0-help\0xml"sv);
  seed("CommandLine", "help-all", "-FuzzInt=4\0--help\0all"sv);
  seed("CommandLine", "bad", "-FuzzInt=many\0rest"sv);
}

void logSettingSeeds() {
  seed("LogSetting", "plain", "*:stderr:10,SServer*:file:100\nSServerAgent\nIpc");
  seed("LogSetting", "bad-elements", "nocolons,*:nodest:3,a:b:-1,*:ipc:99999999999\nx");
  seed("LogSetting", "patterns", "*a*b*:ipc:30,A?C:stderr:0\naxxb\nabab\nA?c");
  seed("LogSetting", "environment", "$FUZZ_SET/x:ipc:200,$FUZZ_UNSET:ipc:1,$:ipc:2\n/var/fuzz/x");
}

void deadKeySeeds() {
  seed("DeadKeyFile", "both-tables", R"(<?xml version="1.0"?>
<info>
  <deadKeys><k><s>0x27</s><d>0xfe51</d></k><k><s>0x60</s><d>0xfe50</d></k></deadKeys>
  <deadKeys-de><k><s>0xb4</s><d>0xfe51</d></k></deadKeys-de>
  <comps><c><x>0xe9</x><d>0xfe51</d><b>0x65</b></c><c><x>0x1e9e</x><d>0xfe52</d><b>0x53</b></c></comps>
</info>
)");
  seed("DeadKeyFile", "short-entry",
       "<info><deadKeys><k><s>0x27</s></k></deadKeys><comps/></info>");
  seed("DeadKeyFile", "bad-number",
       "<info><deadKeys/><comps><c><x>zz</x><d>1</d><b>2</b></c></comps></info>");
  seed("DeadKeyFile", "not-xml", "<info><deadKeys></info>");
}

void sharedMemSeeds() {
  const std::string name = "/kwo-fuzz-segment";
  seed("SharedMemDescription", "posix",
       u8(0) + u32(4096) + string(name) + u8(0) + u64(4096 + 17));
  seed("SharedMemDescription", "posix-too-long",
       u8(0) + u32(3 * 4096) + string(name) + u8(0) + u64(200));
  seed("SharedMemDescription", "file",
       u8(0) + u32(100) + string("/dev/shm" + name) + u8(1) + u64(0));
  seed("SharedMemDescription", "sysv", u8(1) + u32(3 * 4096) + u32(0));
  seed("SharedMemDescription", "sysv-too-big", u8(1) + u32(4 * 4096) + u32(0));
  seed("SharedMemDescription", "unknown-type", u8(7) + u32(1));
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  root = argv[1];
  channelSeeds();
  setParamsSeeds();
  regionSeeds();
  pixelFormatSeeds();
  commandLineSeeds();
  logSettingSeeds();
  deadKeySeeds();
  sharedMemSeeds();
  return 0;
}
