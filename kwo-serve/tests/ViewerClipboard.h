#pragma once

// The extended clipboard for the tests' LibVNCClient viewer. LibVNCClient
// 0.9.14 drops a server cut text of more than 1 MiB and knows nothing of
// the extended clipboard, whose messages share the ServerCutText type. So
// the viewer announces the extension through a client extension's
// encodings and reads every ServerCutText here, leaving the other messages
// to LibVNCClient.

#include <rfb/rfbclient.h>

#include <cstdint>
#include <optional>
#include <string>

namespace kwoserve::test {

class ViewerClipboard {
public:
  // Makes every LibVNCClient connection initialised from now on announce
  // the extended clipboard (process-wide: LibVNCClient cannot take a
  // client extension back).
  static void announce();

  // Tells the server, after initialisation, that texts of up to `maxText`
  // bytes may come unasked. False when writing failed.
  static bool sendCaps(rfbClient* client, uint32_t maxText);

  enum class Result { notCutText, handled, failed };
  // Takes the next server message if it is a ServerCutText, setting `text`
  // to a text it carries (classic or extended; other clipboard messages
  // carry none); any other message is left unread for
  // HandleRFBServerMessage. Reads block: call when data is waiting.
  static Result readIfCutText(rfbClient* client, std::optional<std::string>& text);
};

} // namespace kwoserve::test
