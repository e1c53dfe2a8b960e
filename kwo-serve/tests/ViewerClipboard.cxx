#include "ViewerClipboard.h"

#include <arpa/inet.h>
#include <zlib.h>

#include <cstring>
#include <vector>

namespace kwoserve::test {

namespace {

// More than any test sends; a larger length means a broken stream.
constexpr uint32_t maxMessage = 256u << 20;

int encodings[] = {int(rfbEncodingExtendedClipboard), 0};

rfbBool noMessage(rfbClient*, rfbServerToClientMsg*) {
  return FALSE;
}

rfbClientProtocolExtension extension = {encodings, nullptr, noMessage, nullptr, nullptr,
                                        nullptr};

uint32_t bigEndian(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return ntohl(v);
}

bool readBytes(rfbClient* client, std::vector<uint8_t>& bytes, uint32_t n) {
  if (n > maxMessage)
    return false;
  bytes.resize(n);
  return n == 0 || ReadFromRFBServer(client, reinterpret_cast<char*>(bytes.data()), n);
}

// The messages' zlib data: one whole stream per message.
bool inflateAll(const uint8_t* in, size_t n, std::string& out) {
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK)
    return false;
  zs.next_in = const_cast<uint8_t*>(in);
  zs.avail_in = unsigned(n);
  int status = Z_OK;
  while (status == Z_OK) {
    size_t done = out.size();
    out.resize(done + (1 << 20));
    zs.next_out = reinterpret_cast<Bytef*>(out.data() + done);
    zs.avail_out = 1 << 20;
    status = inflate(&zs, Z_NO_FLUSH);
    out.resize(out.size() - zs.avail_out);
  }
  inflateEnd(&zs);
  return status == Z_STREAM_END;
}

// A Provide message: the text comes first (its format bit is the lowest),
// as a length and the bytes, ended by a NUL.
bool providedText(const std::vector<uint8_t>& message, std::optional<std::string>& text) {
  std::string plain;
  if (!inflateAll(message.data() + 4, message.size() - 4, plain) || plain.size() < 4)
    return false;
  uint32_t length = bigEndian(reinterpret_cast<const uint8_t*>(plain.data()));
  if (length > plain.size() - 4)
    return false;
  std::string value = plain.substr(4, length);
  while (!value.empty() && value.back() == '\0')
    value.pop_back();
  text = std::move(value);
  return true;
}

bool extendedMessage(rfbClient* client, uint32_t n, std::optional<std::string>& text) {
  std::vector<uint8_t> message;
  if (n < 4 || !readBytes(client, message, n))
    return false;
  uint32_t flags = bigEndian(message.data());
  // The server's caps name the actions it knows, Provide among them.
  if (flags & rfbExtendedClipboard_Caps)
    return true;
  if ((flags & rfbExtendedClipboard_Provide) && (flags & rfbExtendedClipboard_Text))
    return providedText(message, text);
  return true;
}

bool writeMessage(rfbClient* client, uint32_t flags, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> message(12);
  message[0] = rfbClientCutText;
  uint32_t length = htonl(uint32_t(-int32_t(4 + payload.size())));
  std::memcpy(&message[4], &length, 4);
  uint32_t f = htonl(flags);
  std::memcpy(&message[8], &f, 4);
  message.insert(message.end(), payload.begin(), payload.end());
  return WriteToRFBServer(client, reinterpret_cast<const char*>(message.data()),
                          unsigned(message.size()));
}

} // namespace

void ViewerClipboard::announce() {
  static bool registered = false;
  if (!registered)
    rfbClientRegisterExtension(&extension);
  registered = true;
}

bool ViewerClipboard::sendCaps(rfbClient* client, uint32_t maxText) {
  uint32_t size = htonl(maxText);
  std::vector<uint8_t> payload(4);
  std::memcpy(payload.data(), &size, 4);
  return writeMessage(client,
                      rfbExtendedClipboard_Caps | rfbExtendedClipboard_Request |
                        rfbExtendedClipboard_Peek | rfbExtendedClipboard_Notify |
                        rfbExtendedClipboard_Provide | rfbExtendedClipboard_Text,
                      payload);
}

ViewerClipboard::Result ViewerClipboard::readIfCutText(rfbClient* client,
                                                       std::optional<std::string>& text) {
  char type = 0;
  if (!ReadFromRFBServer(client, &type, 1))
    return Result::failed;
  if (type != rfbServerCutText) {
    // The byte came from LibVNCClient's buffer: put it back for the library.
    if (client->bufoutptr <= client->buf || client->bufoutptr[-1] != type)
      return Result::failed;
    client->bufoutptr--;
    client->buffered++;
    return Result::notCutText;
  }
  std::vector<uint8_t> header;
  if (!readBytes(client, header, 7))
    return Result::failed;
  int32_t length = int32_t(bigEndian(header.data() + 3));
  if (length < 0)
    return extendedMessage(client, uint32_t(-int64_t(length)), text) ? Result::handled
                                                                     : Result::failed;
  std::vector<uint8_t> latin1;
  if (!readBytes(client, latin1, uint32_t(length)))
    return Result::failed;
  text = std::string(latin1.begin(), latin1.end());
  return Result::handled;
}

} // namespace kwoserve::test
