#include "kwo-serve/VncScreen.h"

#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/LogSrc.h"
#include "kwo-serve/CutText.h"
#include "kwo-serve/FdWatch.h"
#include "kwo-serve/HttpServer.h"
#include "kwo-serve/ListenSockets.h"
#include "kwo-serve/PixelAccess.h"
#include "libs/agentmsg/FromAgentMsgs.h"

// The region header lacks C linkage declarations of its own.
extern "C" {
#include <rfb/rfbregion.h>
}

#include <algorithm>
#include <chrono>
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

bool usesExtendedClipboard(rfbClientPtr cl) {
#ifdef LIBVNCSERVER_HAVE_LIBZ
  return cl->enableExtendedClipboard;
#else
  (void)cl;
  return false;
#endif
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
    s.gate_->clientCreated(cl);
    s.viewers_++;
    vlog.status("Viewer connected from %s (%d connected)", cl->host ? cl->host : "?",
                s.viewers_);
    s.callback_.viewersChanged(s.viewers_);
    return RFB_CLIENT_ACCEPT;
  }
  static void clientGone(rfbClientPtr cl) {
    VncScreen& s = of(cl);
    s.gate_->clientGone(cl);
    s.slowViewers_.forget(cl);
    s.holds_.forget(cl);
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
  static rfbBool checkPassword(rfbClientPtr cl, const char* response, int length) {
    return of(cl).gate_->checkPassword(cl, response, length) ? TRUE : FALSE;
  }
  static int setDesktopSize(int width, int height, int numScreens, rfbExtDesktopScreen* screens,
                            rfbClientPtr cl) {
    if (width <= 0 || height <= 0)
      return rfbExtDesktopSize_InvalidScreenLayout;
    VncScreen& s = of(cl);
    bool same = width == s.screen_->width && height == s.screen_->height;
    if (!same && !s.callback_.viewerResize(width, height))
      return rfbExtDesktopSize_ResizeProhibited;
    // The viewer waits for the agent's answer (a size already there is
    // answered on the next pass): LibVNCServer is told of no error now,
    // and the status is set with the answer (see sendAnswer).
    s.holds_.holdResize(cl, width, height, ViewerHolds::Clock::now());
    return rfbExtDesktopSize_Success;
  }
};

VncScreen::VncScreen(Callback& callback, const Settings& settings, int width, int height,
                     const rfb::PixelFormat& pf)
    : callback_(callback), cursor_(std::make_unique<CursorShape>()),
      origins_(settings.listenAddress, settings.httpPort, settings.wsOrigins) {
  rfbLog = libLog;
  rfbErr = libLog;
  int argc = 1;
  char name[] = "kwo-serve";
  char* argv[] = {name, nullptr};
  screen_.reset(rfbGetScreen(&argc, argv, std::max(width, 1), std::max(height, 1), 8, 3, 4));
  if (!screen_)
    throw plat::Exception("cannot create the RFB screen");
  screen_->screenData = this;
  desktopName_ = settings.desktopName;
  screen_->desktopName = desktopName_.c_str();
  screen_->port = settings.port;
  screen_->autoPort = FALSE;
  // Connections are accepted by ViewerGate, not by LibVNCServer: with its
  // sockets "ready", rfbInitServer opens no listener of its own.
  screen_->socketState = RFB_SOCKET_READY;
  // A write that cannot go on drops that viewer after one wait rather than
  // several; SlowViewers keeps writes from meeting full sockets, and
  // WriteWatchdog cuts a stalled one short.
  screen_->maxClientWait = maxClientWaitMs;
  screen_->deferUpdateTime = 0;
  // Not eagerly: LibVNCServer does not read from a viewer on hold, and its
  // eager loop would spin on that viewer's waiting messages. The loop comes
  // back at once for what remains anyway.
  screen_->handleEventsEagerly = FALSE;
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
    screen_->passwordCheck = VncHooks::checkPassword;
  }
  openPorts(settings);
  useOwnBuffer(width, height, pf);
  rfbInitServer(screen_.get());
  rfbSetCursor(screen_.get(), cursor_->cursor());
  vlog.status("Listening for viewers on %s port %d%s", settings.listenAddress.c_str(),
              settings.port, settings.passwords.empty() ? "" : " (password required)");
  syncWatches();
}

void VncScreen::openPorts(const Settings& settings) {
  gate_ = std::make_unique<ViewerGate>(screen_.get(),
                                       ListenSockets(settings.listenAddress, settings.port, "RFB"),
                                       settings.maxClients);
  auto webSocket = [this](int fd) {
    gate_->admitWebSocket(fd);
    syncWatches();
  };
  if (settings.httpDir) {
    try {
      httpServer_ = std::make_unique<HttpServer>(
          settings.httpDir, ListenSockets(settings.listenAddress, settings.httpPort, "HTTP"),
          origins_, webSocket);
    } catch (const plat::Exception& e) {
      if (!settings.httpOptional)
        throw;
      vlog.error("No browser viewers: %s", e.str());
    }
  }
  // The HTTP port serves WebSocket viewers already.
  if (settings.wsPort && !(httpServer_ && *settings.wsPort == settings.httpPort))
    wsServer_ = std::make_unique<HttpServer>(
        std::nullopt, ListenSockets(settings.listenAddress, *settings.wsPort, "WebSocket viewers"),
        origins_, webSocket);
}

VncScreen::~VncScreen() {
  watches_.clear();
  heldWatches_.clear();
  httpServer_.reset();
  wsServer_.reset();
  // Frees the viewers already closed (by ViewerGate, SlowViewers), which
  // rfbShutdownServer would leave behind.
  rfbProcessEvents(screen_.get(), 0);
  rfbShutdownServer(screen_.get(), TRUE);
  gate_.reset();
  screen_.reset();
}

void VncScreen::applyFormat(int width, int height, const rfb::PixelFormat& pf, char* buffer,
                            int bytesPerRow) {
  rfbPixelFormat format = PixelAccess::toRfb(pf);
  bool sameSize = width == screen_->width && height == screen_->height;
  bool sameFormat = std::memcmp(&format, &screen_->serverFormat, sizeof(format)) == 0;
  if (!sameSize || !sameFormat) {
    int bytes = pf.bpp / 8;
    rfbNewFramebuffer(screen_.get(), buffer, width, height, 8, 3, bytes);
    screen_->serverFormat = format;
    screen_->depth = pf.depth;
    forEachClient(screen_.get(), [](rfbClientPtr cl) { rfbSetTranslateFunction(cl); });
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
  rfbMarkRectAsModified(screen_.get(), 0, 0, width, height);
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
    rfbScheduleCopyRegion(screen_.get(), region.get(), real.offset.x, real.offset.y);
  }
  if (!real.changed.isEmpty()) {
    SraRegion region = toSra(real.changed, bounds());
    rfbMarkRegionAsModified(screen_.get(), region.get());
  }
}

void VncScreen::setColourMap(int first, const std::vector<agentmsg::Rgb>& colours) {
  if (pf_.trueColour || first < 0 || first + colours.size() > 256)
    return;
  for (size_t i = 0; i < colours.size(); i++) {
    uint8_t* entry = colourMap_.data() + (first + i) * 3;
    entry[0] = colours[i].r;
    entry[1] = colours[i].g;
    entry[2] = colours[i].b;
  }
  guardWrites(true, [&] { rfbSetClientColourMaps(screen_.get(), first, int(colours.size())); });
  rfbMarkRectAsModified(screen_.get(), 0, 0, screen_->width, screen_->height);
}

void VncScreen::setCursor(const agentmsg::SetCursorImage& image) {
  if (!screen_->serverFormat.trueColour)
    return;
  auto shape = std::make_unique<CursorShape>(image, screen_->serverFormat);
  rfbSetCursor(screen_.get(), shape->cursor());
  // The old shape is no longer referenced once the new one is set.
  cursor_ = std::move(shape);
}

void VncScreen::setCursorPos(int x, int y) {
  screen_->cursorX = std::clamp(x, 0, std::max(screen_->width - 1, 0));
  screen_->cursorY = std::clamp(y, 0, std::max(screen_->height - 1, 0));
  forEachClient(screen_.get(), [](rfbClientPtr cl) { cl->cursorWasMoved = TRUE; });
}

void VncScreen::bell() {
  guardWrites(true, [&] { rfbSendBell(screen_.get()); });
}

void VncScreen::sendCutText(const std::string& text) {
  // Written here, one message per viewer: LibVNCServer 0.9.14's
  // rfbSendServerCutTextUTF8 gives classic viewers the UTF-8 length with the
  // ISO-8859-1 text, which breaks their stream on the first non-ASCII copy.
  // Each form only when a viewer takes it, and built before the write
  // watchdog is armed: compressing a large text takes time of its own.
  bool classicWanted = false, extendedWanted = false;
  auto ready = [](rfbClientPtr cl) { return cl->state == rfbClientRec::RFB_NORMAL; };
  forEachClient(screen_.get(), [&](rfbClientPtr cl) {
    (usesExtendedClipboard(cl) ? extendedWanted : classicWanted) |= ready(cl);
  });
  std::string classic = classicWanted ? CutText::classicMessage(text) : std::string();
  std::string extended = extendedWanted ? CutText::extendedMessage(text) : std::string();
  guardWrites(true, [&] {
    forEachClient(screen_.get(), [&](rfbClientPtr cl) {
      if (!ready(cl))
        return;
      const std::string& message = usesExtendedClipboard(cl) ? extended : classic;
      if (message.empty())
        return;
      if (rfbWriteExact(cl, message.data(), int(message.size())) < 0)
        rfbCloseClient(cl);
      else
        rfbStatRecordMessageSent(cl, rfbServerCutText, int(message.size()), int(message.size()));
    });
  });
}

void VncScreen::closeViewers() {
  forEachClient(screen_.get(), [](rfbClientPtr cl) { rfbCloseClient(cl); });
}

bool VncScreen::viewerWaiting() const {
  bool waiting = false;
  forEachClient(screen_.get(), [&](rfbClientPtr cl) {
    if (cl->state == rfbClientRec::RFB_NORMAL && cl->requestedRegion &&
        !sraRgnEmpty(cl->requestedRegion))
      waiting = true;
  });
  return waiting;
}

void VncScreen::holdPictures(bool hold) {
  if (hold)
    holds_.holdPicture();
  else
    holds_.pictureReady();
}

void VncScreen::answerResizes() {
  for (const ViewerHolds::Answer& answer : holds_.answerResizes(screen_->width, screen_->height))
    sendAnswer(answer);
}

void VncScreen::sendAnswer(const ViewerHolds::Answer& answer) {
  rfbClientPtr cl = answer.cl;
  vlog.status("Size request of %s answered: %dx%d, %s", cl->host, screen_->width,
              screen_->height, answer.status == rfbExtDesktopSize_Success ? "granted" : "refused");
  // The next update carries the size with this status, as the answer to
  // this viewer's own request.
  cl->requestedDesktopSizeChange = rfbExtDesktopSize_ClientRequestedChange;
  cl->lastDesktopSizeChangeError = answer.status;
  cl->newFBSizePending = TRUE;
}

void VncScreen::applyHolds(ViewerHolds::Clock::time_point now) {
  if (holds_.pictureOverdue(now))
    vlog.error("The agent has shown no picture for %lld s: serving the buffer as it is",
               (long long)std::chrono::duration_cast<std::chrono::seconds>(
                   ViewerHolds::pictureDeadline).count());
  for (const ViewerHolds::Answer& answer :
       holds_.answerSettled(screen_->width, screen_->height, now))
    sendAnswer(answer);
  waiting_.clear();
  forEachClient(screen_.get(), [&](rfbClientPtr cl) {
    if (cl->sock == RFB_INVALID_SOCKET || cl->state != rfbClientRec::RFB_NORMAL)
      return;
    if (holds_.held(cl)) {
      holds_.pictureWaitedFor(now);
      cl->onHold = TRUE;
      waiting_.push_back(cl->sock);
    } else if (!slowViewers_.holding(cl)) {
      cl->onHold = FALSE;
    }
  });
}

void VncScreen::pump() {
  auto now = std::chrono::steady_clock::now();
  gate_->checkDeadlines(now);
  held_ = slowViewers_.check(screen_.get(), now);
  applyHolds(now);
  // Held viewers get nothing from this pass.
  guardWrites(false, [&] { rfbProcessEvents(screen_.get(), 0); });
  syncWatches();
  if (httpServer_)
    httpServer_->collect();
  if (wsServer_)
    wsServer_->collect();
}

template <class Fn>
void VncScreen::guardWrites(bool heldToo, Fn work) {
  std::vector<int> sockets;
  forEachClient(screen_.get(), [&](rfbClientPtr cl) {
    bool held = std::find(held_.begin(), held_.end(), cl->sock) != held_.end();
    if (cl->sock != RFB_INVALID_SOCKET && (heldToo || !held))
      sockets.push_back(cl->sock);
  });
  watchdog_.arm(std::move(sockets));
  work();
  for (int fd : watchdog_.disarm())
    vlog.error("Dropping the viewer on socket %d: its output stalled the server for %lld ms",
               fd, (long long)std::chrono::duration_cast<std::chrono::milliseconds>(
                       WriteWatchdog::limit).count());
}

void VncScreen::syncWatches() {
  // A held viewer's messages wait unread (LibVNCServer does not read them):
  // its socket is watched for the moment it turns writable instead, which is
  // when it may go on (see SlowViewers).
  heldWatches_.clear();
  for (int fd : held_)
    heldWatches_.push_back(std::make_unique<FdWatch>(fd, [] {}, FdWatch::Kind::writable));
  std::vector<int> wanted;
  auto listed = [](const std::vector<int>& fds, int fd) {
    return std::find(fds.begin(), fds.end(), fd) != fds.end();
  };
  for (int fd = 0; fd <= screen_->maxFd && fd < FD_SETSIZE; fd++)
    if (FD_ISSET(fd, &screen_->allFds) && !listed(held_, fd) && !listed(waiting_, fd))
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
