#pragma once

// The agent's desktop on the X display. For now it knows the screen's
// geometry and native pixel format (default screen, default visual) and the
// start/stop protocol; capture, cursor tracking and input injection are
// not here yet, so input events are only logged (debug level) and started
// desktops send no buffer and no updates. Clipboard text from viewers goes
// to the callback.

#include "libs/svr/SDesktop.h"

#include <string_view>
#include <sys/ipc.h>

namespace svr {

class SDesktopX11 : public SDesktop {
public:
  // What the desktop needs from the agent application.
  class Callback {
  public:
    virtual ~Callback() = default;
    // Text a viewer put on its clipboard, for the X selections.
    virtual void setClipboardText(std::string_view text) = 0;
    // Whether screen capture has been found unreliable.
    virtual void captureBroken(bool broken) = 0;
    // Owner and mode for new shared-memory segments; null while the server
    // has not named an owner.
    virtual const ipc_perm* getShmPerm() = 0;
  };

  // `callback` is not owned and must outlive this object. The process's X
  // display should be open; without it the desktop reports an empty screen.
  explicit SDesktopX11(Callback& callback);
  ~SDesktopX11() override;

  void keyEvent(uint32_t keysym, bool down) override;
  void pointerEvent(const rfb::Point& position, uint32_t buttonMask, bool relative) override;
  void clientCutText(std::string_view text) override;
  void start(SServer& server) override;
  void stop() override;
  void requestUpdate() override;
  rfb::Rect getRect() override;
  bool getPF(rfb::PixelFormat& pf) override;

  bool started() const { return server_ != nullptr; }

private:
  Callback& callback_;
  SServer* server_ = nullptr;
};

} // namespace svr
