#pragma once

// Shared pieces of the capture tests: the process-wide toolkit display on
// the shared private Xvfb, a second X client that draws on the root window
// like any other application, a server that records what the desktop tells
// it (and grabs update pixels as the real protocol end does), and a pump
// that runs X dispatch and timers until a condition holds.

// GoogleTest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "base/plat/Exception.h"
#include "base/plat/TimerManager.h"
#include "base/rfb/Cursor.h"
#include "base/rfb/CursorWithAlpha.h"
#include "base/rfb/PixelBuffer.h"
#include "libs/svr/SDesktopX11.h"
#include "libs/svr/SServer.h"
#include "libs/svr/UpdateInfo.h"
#include "uilibs/tx/TXEventDispatcher.h"
#include "uilibs/tx/TXUtil.h"
#include "uilibs/tx/tests/RunUntil.h"

#include "testsupport/RootPainter.h"
#include "testsupport/XvfbServer.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace svrtest {

inline Display* openSharedDisplay() {
  testsupport::XvfbServer::shared();
  tx::openDisplay(nullptr);
  return tx::display();
}

// Another application on the shared server, drawing on the root window.
class Painter : public testsupport::RootPainter {
public:
  Painter() : RootPainter(testsupport::XvfbServer::shared().displayName()) {}
};

// Records the desktop's calls. fbUpdate grabs the named pixels into the
// announced buffer first, as the protocol end does.
class RecordingServer : public svr::SServer {
public:
  void setPixelBuffer(rfb::PixelBuffer* pb) override {
    buffer = pb;
    buffers.push_back(pb);
    if (pb)
      pb->grabRegion(rfb::Region(pb->getRect()));
  }
  void setColourMapEntries(int, int) override {}
  void serverCutText(std::string_view) override {}
  void bell() override {}
  bool isUpdateRequested() override { return updateRequested; }
  void desktopFailure(const plat::Exception&) override {}
  void closeClients(const svr::CloseReason&) override {}
  void fbUpdate(const svr::UpdateInfo& update) override {
    updateRequested = false;
    if (buffer && !update.isEmpty())
      buffer->grabRegion(update.copied.unite(update.changed));
    updates.push_back(update);
  }
  void setCursorImage(const rfb::Cursor* cursor) override {
    cursors.push_back(cursor ? cursor->clone() : nullptr);
  }
  void setCursorPos(const rfb::Point& position) override {
    cursorPositions.push_back({position, buffers.size()});
  }
  void localInput() override {}
  void setBlankRegion(const rfb::Region&) override {}

  rfb::PixelBuffer* buffer = nullptr;
  std::vector<rfb::PixelBuffer*> buffers;
  std::vector<svr::UpdateInfo> updates;
  std::vector<std::unique_ptr<rfb::Cursor>> cursors;
  // Each position with the number of buffers announced before it.
  std::vector<std::pair<rfb::Point, size_t>> cursorPositions;
  bool updateRequested = false;
};

// Records what the capture engine tells its application.
class RecordingApp : public svr::SDesktopX11::Callback {
public:
  void monitorsUpdated(const std::vector<svr::MonitorInfo>& list,
                       const std::optional<std::string>& parameterSpec,
                       const std::optional<std::string>& effectiveSpec) override {
    monitorReports.push_back({list, parameterSpec, effectiveSpec});
  }
  void setClipboardText(std::string_view) override {}
  void captureBroken(bool broken) override { brokenReports.push_back(broken); }
  const ipc_perm* getShmPerm() override { return nullptr; }

  std::vector<bool> brokenReports;
  struct MonitorReport {
    std::vector<svr::MonitorInfo> monitors;
    std::optional<std::string> parameterSpec;
    std::optional<std::string> effectiveSpec;
  };
  std::vector<MonitorReport> monitorReports;
};

// Dispatches the toolkit connection's events and fires due timers until
// `done` holds or a generous deadline passes. Returns whether `done` held.
inline bool pumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
  return txtest::runUntil(
    done,
    [] {
      txtest::dispatchEvents();
      plat::TimerManager::current()->processTimers();
    },
    {{tx::display()}, 50, true, deadline});
}

} // namespace svrtest
