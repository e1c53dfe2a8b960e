#pragma once

// The viewers' side of kwo-serve: one LibVNCServer screen, run from our own
// loop (io::FdManager) rather than LibVNCServer's threads, so that its hooks
// and the agent's messages are handled on one thread.
//
// Connections: LibVNCServer opens no port; ViewerGate accepts RFB viewers
// and HttpServer the HTTP and WebSocket ports, and they hand LibVNCServer
// the viewers they admit. Before each pass SlowViewers holds viewers that do
// not read, and WriteWatchdog bounds any write that meets a full socket.
//
// Framebuffer: a copy of the agent's picture of our own (FrameCopy), which
// LibVNCServer serves and draws its cursor into; viewers are told only of
// the blocks that really changed. The agent's shared buffer is only read.
// Until the agent announces a buffer the copy is black.
//
// Ownership: owns the rfbScreenInfo, its sockets, the frame copy, the
// cursor and the descriptor watches; the callback is not owned. The mapped
// pixels belong to the caller, who must call useOwnBuffer (or destroy this
// object) before they go away.
// Failures: the constructor throws plat::Exception when a port cannot be
// opened.

#include "base/rfb/PixelFormat.h"
#include "base/rfb/Rect.h"
#include "base/rfb/Region.h"
#include "kwo-serve/CursorShape.h"
#include "kwo-serve/FrameCopy.h"
#include "kwo-serve/OriginPolicy.h"
#include "kwo-serve/SlowViewers.h"
#include "kwo-serve/ViewerGate.h"
#include "kwo-serve/ViewerHolds.h"
#include "kwo-serve/WriteWatchdog.h"

#include <rfb/rfb.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace agentmsg {
struct SetCursorImage;
struct Rgb;
} // namespace agentmsg

namespace kwoserve {

class FdWatch;
class HttpServer;

class VncScreen {
public:
  class Callback {
  public:
    virtual void viewerKey(uint32_t keysym, bool down) = 0;
    virtual void viewerPointer(int x, int y, uint32_t buttonMask) = 0;
    // UTF-8.
    virtual void viewerCutText(const std::string& text) = 0;
    // A viewer asks for a new desktop size; true when it was passed on
    // (answerResizes() follows once the screen has the size it gets).
    virtual bool viewerResize(int width, int height) = 0;
    // The number of connected viewers changed.
    virtual void viewersChanged(int count) = 0;

  protected:
    ~Callback() = default;
  };

  struct Settings {
    std::string listenAddress = "127.0.0.1";
    int port = 5900;
    std::optional<int> wsPort;
    std::optional<std::string> httpDir;
    int httpPort = 5800;
    // Whether the HTTP port may fail to open (a default, not asked for):
    // then it is only logged.
    bool httpOptional = false;
    // RFB and WebSocket viewers at once (see ViewerGate).
    int maxClients = 32;
    // Web pages allowed to connect besides our own (see OriginPolicy).
    std::vector<std::string> wsOrigins;
    // Empty: no authentication.
    std::vector<std::string> passwords;
    std::string desktopName = "kwo-serve";
  };

  // LibVNCServer's own limit for a write to one viewer (it waits at least
  // 5 s whatever this says; WriteWatchdog cuts in well before).
  static constexpr int maxClientWaitMs = 100;

  VncScreen(Callback& callback, const Settings& settings, int width, int height,
            const rfb::PixelFormat& pf);
  ~VncScreen();
  VncScreen(const VncScreen&) = delete;
  VncScreen& operator=(const VncScreen&) = delete;

  // A black buffer of our own, of this size and format.
  void useOwnBuffer(int width, int height, const rfb::PixelFormat& pf);
  // The agent's pixels (stride in pixels): copied whole now, and then
  // with every update().
  void useSharedBuffer(const uint8_t* pixels, int width, int height, uint32_t stride,
                       const rfb::PixelFormat& pf);

  // An update from the agent, whose buffer already holds the pixels: the
  // copy (destination region, destination = source + (dx, dy)) and the
  // changed region. Viewers get what really differs from the copy.
  void update(const rfb::Region& copied, int dx, int dy, const rfb::Region& changed);

  void setColourMap(int first, const std::vector<agentmsg::Rgb>& colours);
  void setCursor(const agentmsg::SetCursorImage& image);
  void setCursorPos(int x, int y);
  void bell();
  // UTF-8; viewers without the extended clipboard get its Latin-1 form.
  void sendCutText(const std::string& text);
  void closeViewers();

  // While held, viewers get no updates: the buffer does not hold the screen
  // yet (see ViewerHolds for the deadline).
  void holdPictures(bool hold);
  // The agent's screen has the size it will keep for now: viewers waiting
  // for their size requests get their answer (success when this is the
  // size they asked for, an error status otherwise).
  void answerResizes();

  int viewerCount() const { return viewers_; }
  // Whether a viewer waits for pixels (an update request not answered yet).
  bool viewerWaiting() const;
  // Handles what LibVNCServer has to do (new connections, viewer messages,
  // updates to send) without blocking, then follows its descriptors.
  void pump();
  // How long the loop may sleep before the next pump.
  // Everything LibVNCServer needs to do follows a descriptor event or an
  // update from the agent, after each of which the loop pumps at once;
  // the timeout is only a safety net.
  int idleTimeoutMs() const { return 1000; }
  int port() const { return screen_->port; }
  // Whether the HTTP port (files and WebSocket viewers) is open.
  bool servesHttp() const { return httpServer_ != nullptr; }
  rfbScreenInfoPtr screen() { return screen_.get(); }

private:
  friend class VncHooks;

  void applyFormat(int width, int height, const rfb::PixelFormat& pf, char* buffer,
                   int bytesPerRow);
  void openPorts(const Settings& settings);
  // Runs `work`, which may write to viewers (all, or all not held), under
  // the write watchdog.
  template <class Fn>
  void guardWrites(bool heldToo, Fn work);
  // Hands the frame copy's memory and format to LibVNCServer.
  void serveFrame();
  void syncWatches();
  // Puts the viewers ViewerHolds names on hold (and takes the others off,
  // unless SlowViewers holds them); answers overdue requests first.
  void applyHolds(ViewerHolds::Clock::time_point now);
  void sendAnswer(const ViewerHolds::Answer& answer);
  rfb::Rect bounds() const { return rfb::Rect(0, 0, screen_->width, screen_->height); }

  // The frame and cursor are ours (frame_, cursor_): LibVNCServer must not
  // free them.
  struct ScreenCleanup {
    void operator()(rfbScreenInfoPtr screen) const {
      screen->frameBuffer = nullptr;
      screen->cursor = nullptr;
      rfbScreenCleanup(screen);
    }
  };

  Callback& callback_;
  // Before the members that use it, so that it is released after them
  // when the constructor fails half-way.
  std::unique_ptr<rfbScreenInfo, ScreenCleanup> screen_;
  FrameCopy frame_;
  rfb::PixelFormat pf_;
  std::vector<uint8_t> colourMap_;
  std::unique_ptr<CursorShape> cursor_;
  std::vector<std::string> passwords_;
  std::vector<char*> passwordList_;
  std::string desktopName_;
  OriginPolicy origins_;
  std::unique_ptr<ViewerGate> gate_;
  SlowViewers slowViewers_;
  ViewerHolds holds_;
  // The sockets of the viewers holds_ holds: not read until they go on.
  std::vector<int> waiting_;
  WriteWatchdog watchdog_;
  std::map<int, std::unique_ptr<FdWatch>> watches_;
  // The sockets of the viewers SlowViewers holds, and their write watches.
  std::vector<int> held_;
  std::vector<std::unique_ptr<FdWatch>> heldWatches_;
  std::unique_ptr<HttpServer> httpServer_;
  std::unique_ptr<HttpServer> wsServer_;
  int viewers_ = 0;
};

} // namespace kwoserve
