#pragma once

// The agent's desktop on the X display: owns the screen buffer in shared
// memory, decides how screen changes are found (XDAMAGE, checked by a damage
// test, or polling), feeds changed areas to the update scheduler, and keeps
// the server told about the buffer, the cursor image, the colour map and
// capture failures. The protocol end grabs the pixels of each update into
// the buffer before naming them to the server; this class compares no
// pixels.
//
// States: stopped (no server, no buffer, nothing selected) and started
// (server set, buffer announced, cursor notifications and root structure
// events selected, polling or damage running). While started, a resize of
// the root window, or a RandR change of the screen or a CRTC, rebuilds the
// buffer 300 ms after the last event of a burst. A buffer announced to the server is always withdrawn
// (setPixelBuffer(null)) before it is freed, so the server never holds a
// freed buffer.
//
// Input from viewers goes to the keyboard and pointer injectors; the
// pointer's watch of the real pointer runs only while started. Each buffer
// covers the monitor chosen by the "Monitor" parameter or by the server's
// selection (the whole screen without either), and every buffer built
// ends in a report of the monitor list.

#include "libs/svr/CaptureExtensions.h"
#include "libs/svr/CursorSender.h"
#include "libs/svr/DamageTestCallback.h"
#include "libs/svr/DisplayChangeCallback.h"
#include "libs/svr/MonitorSelect.h"
#include "libs/svr/MonitorSelectCallback.h"
#include "libs/svr/MonitorSelectResponse.h"
#include "libs/svr/RandrEvents.h"
#include "libs/svr/SDesktop.h"
#include "libs/svr/SPointerX11Callback.h"
#include "libs/svr/UpdateScheduler.h"
#include "uilibs/tx/TXEventHandler.h"
#include "uilibs/tx/WindowPosTracker.h"

#include "base/plat/Timer.h"
#include "base/rfb/Region.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/ipc.h>

namespace tx {
class PixelBufferX11;
class TXWindow;
} // namespace tx

namespace svr {

class DamageTest;
class SKeyboardX11;
class SPointerX11;
class XDamageWatch;

class SDesktopX11 : public SDesktop,
                    private plat::Timer::Callback,
                    private tx::TXEventHandler,
                    private UpdateScheduler::Callback,
                    private tx::WindowPosTracker::Callback,
                    private SPointerX11Callback,
                    private DamageTestCallback,
                    public DisplayChangeCallback,
                    public MonitorSelectCallback {
public:
  // What the desktop needs from the agent application. monitorsUpdated()
  // follows every buffer the desktop announces.
  class Callback : public MonitorSelectResponse {
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

  // How changes are being found while started.
  enum class Capture { none, polling, damage };

  // Queries the extensions (logging what it finds) and builds the owned
  // parts; nothing is captured yet. `callback` is not owned and must outlive
  // this object. The process's X display should be open; without it the
  // desktop reports an empty screen and cannot start.
  explicit SDesktopX11(Callback& callback);
  // Stops first when started.
  ~SDesktopX11() override;

  void keyEvent(uint32_t keysym, bool down) override;
  // An absolute position is clamped into the buffer's rectangle first.
  void pointerEvent(const rfb::Point& position, uint32_t buttonMask, bool relative) override;
  void clientCutText(std::string_view text) override;
  // Builds the buffer (announcing it), sends the cursor and starts capture.
  // A buffer that cannot be built throws plat::Exception and leaves the
  // desktop stopped.
  void start(SServer& server) override;
  // Blacks the buffer, stops capture and frees the buffer.
  void stop() override;
  void requestUpdate() override;
  // (0, 0, width, height) of the default screen as it is now.
  rfb::Rect getRect() override;
  bool getPF(rfb::PixelFormat& pf) override;

  // The screen layout may have changed (a display mode was set or refused,
  // RandR reported a CRTC or screen change): while started, the buffer is
  // rebuilt when the resize timer fires, 300 ms after the last change.
  void displayChanged() override;

  // MonitorSelectCallback: a selection that is stored rebuilds the buffer
  // while started; an invalid one is logged and changes nothing.
  void setMonitor(const std::optional<std::string>& spec) override;
  const std::optional<std::string>& monitorSelection() const {
    return monitorSelect_.selection();
  }

  bool started() const { return server_ != nullptr; }
  Capture capture() const;
  bool damageTestRunning() const { return damageTest_ != nullptr; }
  const CaptureExtensions& extensions() const { return ext_; }
  // The current buffer; null while stopped or after a failed rebuild.
  tx::PixelBufferX11* buffer() const { return pb_.get(); }
  // Window rectangles waiting for the next damage collection.
  const rfb::Region& pendingRegion() const { return pending_; }

  // The resize timer's delay after the last root ConfigureNotify.
  static constexpr int resizeDelayMs = 300;

private:
  // plat::Timer::Callback: the poll and resize timers.
  bool timerFired(plat::Timer& timer) override;
  // tx::TXEventHandler: root structure, damage and cursor events.
  void handleEvent(const XEvent& event) override;
  // UpdateScheduler::Callback
  void prepareUpdate() override;
  // tx::WindowPosTracker::Callback
  void windowMoved(Window window, const rfb::Rect& oldRect, const rfb::Rect& newRect) override;
  // SPointerX11Callback: what the pointer poll finds goes to the server.
  void cursorPosChanged(const rfb::Point& position) override;
  void localPointerMoved() override;
  // DamageTestCallback
  void collectDamage() override;
  void damageTestResult(DamageTest* test, bool any, bool all, bool nonFull) override;

  // Starts the pointer watch and reports where the pointer is now.
  void startPointer();
  void buildBuffer();
  void dropBuffer();
  void clipToMonitors();
  void rebuild();
  void rootConfigured();

  // With a server set: the cursor, and the damage test once the buffer
  // exists (chooseCaptureMethod() has already run). Without: stops capture.
  void updateCapture();
  // Damage, or polling when damage is unwanted or fails to start.
  void chooseCaptureMethod();
  bool startDamage();
  void stopDamage();
  void startPolling();
  void startDamageTest();
  // Moves the damage reported so far (and the pending window rectangles)
  // into the scheduler and the damage test; true when anything was added.
  bool takeDamage();
  void selectCursorEvents(bool on);
  void sendCursor(bool force);

  Callback& callback_;
  CaptureExtensions ext_;
  RandrEvents randrEvents_;
  SServer* server_ = nullptr;
  std::unique_ptr<tx::PixelBufferX11> pb_;
  UpdateScheduler scheduler_;
  plat::Timer pollTimer_;
  plat::Timer resizeTimer_;
  std::unique_ptr<XDamageWatch> damage_;
  std::unique_ptr<DamageTest> damageTest_;
  // A damage test was running when a rebuild failed; it starts again over
  // the next buffer.
  bool damageTestInterrupted_ = false;
  rfb::Region pending_;
  tx::WindowPosTracker windowTracker_;
  std::unique_ptr<tx::TXWindow> cursorWindow_;
  CursorSender cursor_;
  // Null without an X display.
  std::unique_ptr<SKeyboardX11> keyboard_;
  std::unique_ptr<SPointerX11> pointer_;
  MonitorSelect monitorSelect_;
};

} // namespace svr
