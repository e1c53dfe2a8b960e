#pragma once

// Wire pieces shared by the message payloads of both directions: rectangles
// as four S32, long byte blocks (U32 length, then the bytes) that may arrive
// over many reads, and the length checks applied to every size a peer sends.

#include "base/rfb/Rect.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace rdr {
class InStream;
class OutStream;
} // namespace rdr

namespace agentmsg {

struct ParseState;

namespace wire {

void writeRect(rdr::OutStream& os, const rfb::Rect& rect);
rfb::Rect readRect(rdr::InStream& is);

// Throws plat::Exception "<what>: length <length> exceeds <max>" when the
// peer's length is larger than the receiver accepts.
void checkLength(uint64_t length, uint64_t max, const char* what);

// Stage-aware read of a U32 length and that many bytes into `out`, using
// stages `first` and first + 1 of `state`. Lengths above `max` throw (see
// checkLength) before anything is allocated. Returns once the whole block is
// there; may throw rdr::BlockException to be called again.
void readBlock(rdr::InStream& is, ParseState& state, int first, std::string& out, size_t max,
               const char* what);
// Stage-aware collection of state.length bytes (set by an earlier stage,
// which checkpointed after reading it); the block stays valid until the
// stream is read again.
std::span<const uint8_t> collectBlock(rdr::InStream& is, ParseState& state);
// U32 length and the bytes; the caller has checked the length against what
// the peer accepts.
void writeBlock(rdr::OutStream& os, const std::string& bytes);

} // namespace wire
} // namespace agentmsg
