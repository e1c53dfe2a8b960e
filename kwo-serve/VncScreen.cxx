#include "kwo-serve/VncScreen.h"

#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/LogSrc.h"
#include "kwo-serve/CutText.h"
#include "kwo-serve/FdWatch.h"
#include "kwo-serve/HttpServer.h"
#include "kwo-serve/PixelAccess.h"
#include "libs/agenthost/FromAgentMsgs.h"

// The region header lacks C linkage declarations of its own.
extern "C" {
#include <rfb/rfbregion.h>
}

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace kwoserve {

namespace {

plat::LogSrc vlog("VncScreen");

// LibVNCServer's own messages, on our standard error with a prefix.
void libLog(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  size_t n = strlen(buffer);
  while (n > 0 && buffer[n - 1] == '\n')
    buffer[--n] = '\0';
  fprintf(stderr, "kwo-serve: libvncserver: %s\n", buffer);
}

struct RegionDeleter {
  void operator()(sraRegion* r) const { sraRgnDestroy(r); }
};
using SraRegion = std::unique_ptr<sraRegion, RegionDeleter>;

SraRegion toSra(const rfb::Region& region, const rfb::Rect& bounds) {
  SraRegion out(sraRgnCreate());
  std::vector<rfb::Rect> rects;
  region.get_rects(&rects);
  for (const rfb::Rect& r : rects) {
    rfb::Rect c = r.intersect(bounds);
    if (c.isEmpty())
      continue;
    SraRegion piece(sraRgnCreateRect(c.tl.x, c.tl.y, c.br.x, c.br.y));
    sraRgnOr(out.get(), piece.get());
  }
  return out;
}

// Iterates the clients, releasing the iterator at the end of the scope.
template <class Fn>
void forEachClient(rfbScreenInfoPtr screen, Fn fn) {
  rfbClientIteratorPtr it = rfbGetClientIterator(screen);
  while (rfbClientPtr cl = rfbClientIteratorNext(it))
    fn(cl);
  rfbReleaseClientIterator(it);
}

} // namespace

// LibVNCServer's C hooks, forwarded to the screen object found through
// screenData.
class VncHooks {
public:
  static VncScreen& of(rfbClientPtr cl) { return *static_cast<VncScreen*>(cl->screen->screenData); }

  static enum rfbNewClientAction newClient(rfbClientPtr cl) {
    VncScreen& s = of(cl);
    cl->clientGoneHook = clientGone;
    s.viewers_++;
    vlog.status("Viewer connected from %s (%d connected)", cl->host ? cl->host : "?",
                s.viewers_);
    s.callback_.viewersChanged(s.viewers_);
    return RFB_CLIENT_ACCEPT;
  }
  static void clientGone(rfbClientPtr cl) {
    VncScreen& s = of(cl);
    s.viewers_--;
    vlog.status("Viewer %s left (%d connected)", cl->host ? cl->host : "?", s.viewers_);
    s.callback_.viewersChanged(s.viewers_);
  }
  static void key(rfbBool down, rfbKeySym keysym, rfbClientPtr cl) {
    of(cl).callback_.viewerKey(keysym, down);
  }
  static void pointer(int buttonMask, int x, int y, rfbClientPtr cl) {
    // Keeps LibVNCServer's idea of the cursor position for the other viewers.
    rfbDefaultPtrAddEvent(buttonMask, x, y, cl);
    of(cl).callback_.viewerPointer(x, y, uint32_t(buttonMask));
  }
  static void cutText(char* text, int length, rfbClientPtr cl) {
    if (length < 0)
      return;
    of(cl).callback_.viewerCutText(CutText::latin1ToUtf8(std::string_view(text, size_t(length))));
  }
  static void cutTextUtf8(char* text, int length, rfbClientPtr cl) {
    if (length < 0)
      return;
    std::string value(text, size_t(length));
    // Some viewers send the terminating NUL along.
    while (!value.empty() && value.back() == '\0')
      value.pop_back();
    of(cl).callback_.viewerCutText(value);
  }
  static int setDesktopSize(int width, int height, int numScreens, rfbExtDesktopScreen* screens,
                            rfbClientPtr cl) {
    if (width <= 0 || height <= 0)
      return rfbExtDesktopSize_InvalidScreenLayout;
    return of(cl).callback_.viewerResize(width, height) ? rfbExtDesktopSize_Success
                                                        : rfbExtDesktopSize_ResizeProhibited;
  }
};

VncScreen::VncScreen(Callback& callback, const Settings& settings, int width, int height,
                     const rfb::PixelFormat& pf)
    : callback_(callback), cursor_(std::make_unique<CursorShape>()) {
  rfbLog = libLog;
  rfbErr = libLog;
  int argc = 1;
  char name[] = "kwo-serve";
  char* argv[] = {name, nullptr};
  screen_ = rfbGetScreen(&argc, argv, std::max(width, 1), std::max(height, 1), 8, 3, 4);
  if (!screen_)
    throw plat::Exception("cannot create the RFB screen");
  screen_->screenData = this;
  desktopName_ = settings.desktopName;
  screen_->desktopName = desktopName_.c_str();
  screen_->port = settings.port;
  screen_->autoPort = FALSE;
  // The IPv6 listener follows the IPv4 choice: loopback unless an IPv6
  // address was asked for.
  in_addr_t v4;
  std::string address = settings.listenAddress == "localhost" ? "127.0.0.1" : settings.listenAddress;
  if (rfbStringToAddr(address.data(), &v4)) {
    screen_->listenInterface = v4;
    listen6_ = "::1";
  } else {
    rfbStringToAddr(const_cast<char*>("127.0.0.1"), &v4);
    screen_->listenInterface = v4;
    listen6_ = address;
  }
  screen_->listen6Interface = listen6_.data();
  screen_->ipv6port = settings.port;
  screen_->deferUpdateTime = 0;
  screen_->handleEventsEagerly = TRUE;
  screen_->alwaysShared = TRUE;
  screen_->newClientHook = VncHooks::newClient;
  screen_->kbdAddEvent = VncHooks::key;
  screen_->ptrAddEvent = VncHooks::pointer;
  screen_->setXCutText = VncHooks::cutText;
#ifdef LIBVNCSERVER_HAVE_LIBZ
  screen_->setXCutTextUTF8 = VncHooks::cutTextUtf8;
#endif
  screen_->setDesktopSizeHook = VncHooks::setDesktopSize;
  screen_->dontConvertRichCursorToXCursor = TRUE;
  if (!settings.passwords.empty()) {
    passwords_ = settings.passwords;
    for (std::string& p : passwords_)
      passwordList_.push_back(p.data());
    passwordList_.push_back(nullptr);
    screen_->authPasswdData = passwordList_.data();
    screen_->passwordCheck = rfbCheckPasswordByList;
  }
  if (settings.httpDir) {
    try {
      httpServer_ = std::make_unique<HttpServer>(*settings.httpDir, v4, listen6_,
                                                 settings.httpPort);
    } catch (...) {
      rfbScreenCleanup(screen_);
      screen_ = nullptr;
      throw;
    }
  }
  useOwnBuffer(width, height, pf);
  rfbInitServer(screen_);
  if (screen_->listenSock == RFB_INVALID_SOCKET) {
    rfbScreenCleanup(screen_);
    screen_ = nullptr;
    throw plat::Exception(plat::format("cannot listen on %s port %d", address.c_str(),
                                       settings.port));
  }
  rfbSetCursor(screen_, cursor_->cursor());
  if (settings.wsPort && *settings.wsPort != settings.port) {
    wsListener_ = rfbListenOnTCPPort(*settings.wsPort, v4);
    if (wsListener_ < 0) {
      rfbScreenCleanup(screen_);
      screen_ = nullptr;
      throw plat::Exception(plat::format("cannot listen on %s port %d for WebSocket viewers",
                                         address.c_str(), *settings.wsPort));
    }
    wsWatch_ = std::make_unique<FdWatch>(wsListener_, [this] { acceptWebSocket(); });
  }
  vlog.status("Listening for viewers on %s port %d%s", address.c_str(), settings.port,
              settings.passwords.empty() ? "" : " (password required)");
  syncWatches();
}

VncScreen::~VncScreen() {
  watches_.clear();
  wsWatch_.reset();
  if (wsListener_ >= 0)
    close(wsListener_);
  if (!screen_)
    return;
  rfbShutdownServer(screen_, TRUE);
  // Our buffers go with this object; LibVNCServer must not free them.
  screen_->frameBuffer = nullptr;
  screen_->cursor = nullptr;
  rfbScreenCleanup(screen_);
}

void VncScreen::applyFormat(int width, int height, const rfb::PixelFormat& pf, char* buffer,
                            int bytesPerRow) {
  rfbPixelFormat format = PixelAccess::toRfb(pf);
  bool sameSize = width == screen_->width && height == screen_->height;
  bool sameFormat = std::memcmp(&format, &screen_->serverFormat, sizeof(format)) == 0;
  if (!sameSize || !sameFormat) {
    int bytes = pf.bpp / 8;
    rfbNewFramebuffer(screen_, buffer, width, height, 8, 3, bytes);
    screen_->serverFormat = format;
    screen_->depth = pf.depth;
    forEachClient(screen_, [](rfbClientPtr cl) { rfbSetTranslateFunction(cl); });
  }
  pf_ = pf;
  screen_->frameBuffer = buffer;
  screen_->paddedWidthInBytes = bytesPerRow;
  screen_->sizeInBytes = bytesPerRow * height;
  if (!pf.trueColour) {
    colourMap_.resize(256 * 3);
    screen_->colourMap.count = 256;
    screen_->colourMap.is16 = FALSE;
    screen_->colourMap.data.bytes = colourMap_.data();
  }
  rfbMarkRectAsModified(screen_, 0, 0, width, height);
}

void VncScreen::useOwnBuffer(int width, int height, const rfb::PixelFormat& pf) {
  frame_.showBlack(width, height, pf);
  serveFrame();
}

void VncScreen::useSharedBuffer(const uint8_t* pixels, int width, int height, uint32_t stride,
                                const rfb::PixelFormat& pf) {
  frame_.follow(pixels, width, height, stride, pf);
  serveFrame();
  vlog.status("%s the agent's buffer (%dx%d, %s)",
              frame_.translating() ? "Translating" : "Serving a copy of", width, height,
              pf.print().c_str());
}

void VncScreen::serveFrame() {
  applyFormat(frame_.width(), frame_.height(), frame_.pf(),
              reinterpret_cast<char*>(frame_.data()), frame_.bytesPerRow());
}

void VncScreen::update(const rfb::Region& copied, int dx, int dy, const rfb::Region& changed) {
  FrameCopy::Changes real = frame_.update(copied, rfb::Point(dx, dy), changed);
  if (!real.copied.isEmpty()) {
    SraRegion region = toSra(real.copied, bounds());
    // The copy has already moved the pixels: only the viewers are told.
    rfbScheduleCopyRegion(screen_, region.get(), real.offset.x, real.offset.y);
  }
  if (!real.changed.isEmpty()) {
    SraRegion region = toSra(real.changed, bounds());
    rfbMarkRegionAsModified(screen_, region.get());
  }
}

void VncScreen::setColourMap(int first, const std::vector<agenthost::Rgb>& colours) {
  if (pf_.trueColour || first < 0 || first + colours.size() > 256)
    return;
  for (size_t i = 0; i < colours.size(); i++) {
    uint8_t* entry = colourMap_.data() + (first + i) * 3;
    entry[0] = colours[i].r;
    entry[1] = colours[i].g;
    entry[2] = colours[i].b;
  }
  rfbSetClientColourMaps(screen_, first, int(colours.size()));
  rfbMarkRectAsModified(screen_, 0, 0, screen_->width, screen_->height);
}

void VncScreen::setCursor(const agenthost::SetCursorImage& image) {
  if (!screen_->serverFormat.trueColour)
    return;
  auto shape = std::make_unique<CursorShape>(image, screen_->serverFormat);
  rfbSetCursor(screen_, shape->cursor());
  // The old shape is no longer referenced once the new one is set.
  cursor_ = std::move(shape);
}

void VncScreen::setCursorPos(int x, int y) {
  screen_->cursorX = std::clamp(x, 0, std::max(screen_->width - 1, 0));
  screen_->cursorY = std::clamp(y, 0, std::max(screen_->height - 1, 0));
  forEachClient(screen_, [](rfbClientPtr cl) { cl->cursorWasMoved = TRUE; });
}

void VncScreen::bell() { rfbSendBell(screen_); }

void VncScreen::sendCutText(const std::string& text) {
  std::string latin1 = CutText::utf8ToLatin1(text);
#ifdef LIBVNCSERVER_HAVE_LIBZ
  rfbSendServerCutTextUTF8(screen_, const_cast<char*>(text.data()), int(text.size()),
                           latin1.data(), int(latin1.size()));
#else
  rfbSendServerCutText(screen_, latin1.data(), int(latin1.size()));
#endif
}

void VncScreen::closeViewers() {
  forEachClient(screen_, [](rfbClientPtr cl) { rfbCloseClient(cl); });
}

bool VncScreen::viewerWaiting() const {
  bool waiting = false;
  forEachClient(screen_, [&](rfbClientPtr cl) {
    if (cl->state == rfbClientRec::RFB_NORMAL && cl->requestedRegion &&
        !sraRgnEmpty(cl->requestedRegion))
      waiting = true;
  });
  return waiting;
}

void VncScreen::pump() {
  rfbProcessEvents(screen_, 0);
  syncWatches();
  if (httpServer_)
    httpServer_->collect();
}

void VncScreen::acceptWebSocket() {
  int fd = accept4(wsListener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0)
    return;
  // LibVNCServer recognises the WebSocket handshake on any new client.
  if (!rfbNewClient(screen_, fd))
    vlog.error("WebSocket viewer refused");
  syncWatches();
}

void VncScreen::syncWatches() {
  std::vector<int> wanted;
  for (int fd = 0; fd <= screen_->maxFd && fd < FD_SETSIZE; fd++)
    if (FD_ISSET(fd, &screen_->allFds))
      wanted.push_back(fd);
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  for (auto it = watches_.begin(); it != watches_.end();) {
    if (std::binary_search(wanted.begin(), wanted.end(), it->first))
      ++it;
    else
      it = watches_.erase(it);
  }
  // Readiness only wakes the loop up; the loop pumps after every pass.
  for (int fd : wanted)
    if (!watches_.contains(fd))
      watches_.emplace(fd, std::make_unique<FdWatch>(fd, [] {}));
}

} // namespace kwoserve
