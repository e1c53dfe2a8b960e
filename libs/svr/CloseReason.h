#pragma once

// Why the server should drop its viewers: a message for them, a kind name
// and a numeric code, as carried by "closeClients".

#include <cstdint>
#include <string>

namespace svr {

struct CloseReason {
  // Sent as a string of at most 1024 bytes.
  std::string message;
  // Sent as a short string (at most 255 bytes).
  std::string kind;
  uint32_t code = 0;
};

} // namespace svr
