#pragma once

// The head of one HTTP request (request line and header lines, without the
// empty line that ends it), as kwo-serve's HTTP and WebSocket ports read it.

#include <optional>
#include <string>

namespace kwoserve {

class RequestHead {
public:
  explicit RequestHead(std::string text) : text_(std::move(text)) {}

  // The request line's words; "" when the line has fewer.
  std::string method() const { return word(0); }
  std::string target() const { return word(1); }
  std::string version() const { return word(2); }
  // The value of the first header of that name (any case), without the
  // surrounding blanks; none when there is no such header.
  std::optional<std::string> header(const std::string& name) const;
  // A GET asking to switch to the WebSocket protocol ("Upgrade: websocket").
  bool isWebSocketUpgrade() const;

private:
  std::string word(int index) const;

  std::string text_;
};

} // namespace kwoserve
