#pragma once

// Shared pieces of the display-mode and monitor tests: the toolkit display
// on a private Xorg dummy server (several CRTCs and outputs), the server's
// RandR state, and the server's end of a real channel. The toolkit display
// is opened once per process and these tests change the server's layout,
// so each needs a process of its own, as CTest runs them; in a process that
// runs other tests too they skip themselves and say why (taking the display
// first would leave the capture tests on the wrong server).

// GoogleTest first: Xlib's macros (None, Bool) break its headers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "libs/svr/tests/AgentWire.h"

#include "base/io/FdIo.h"
#include "base/io/FdSelectManager.h"
#include "base/io/MsgIpc.h"
#include "uilibs/tx/TXUtil.h"
#include "uilibs/tx/XrandrFns.h"

#include "testsupport/SocketPeer.h"
#include "testsupport/XorgDummyServer.h"

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace svrtest {

constexpr const char* needsOwnProcess =
  "the toolkit display of this process is shared with other tests; "
  "run this test in its own process (ctest, or --gtest_filter)";

inline bool runsAlone() {
  return !tx::display() && testing::UnitTest::GetInstance()->test_to_run_count() == 1;
}

// Opens the toolkit display on a new Xorg dummy server laid out by
// `options`; null unless this test runs alone in its process.
inline Display* openXorgDisplay(const testsupport::XorgDummyServer::Options& options) {
  if (!runsAlone())
    return nullptr;
  // Lives until the process ends, like the connection to it.
  static std::unique_ptr<testsupport::XorgDummyServer> server;
  server = std::make_unique<testsupport::XorgDummyServer>(options);
  tx::openDisplay(server->displayName().c_str());
  return tx::display();
}

inline testsupport::XorgDummyServer::Options twoMonitors() {
  testsupport::XorgDummyServer::Options options;
  options.outputs = {{"1024x768", 0, 0}, {"800x600", 1024, 0}};
  return options;
}

// The screen as a new client sees it at connection set-up: size in pixels
// and millimetres, fresh from the server.
struct ScreenSize {
  int width, height, mmWidth, mmHeight;
};

inline ScreenSize currentScreenSize() {
  Display* dpy = XOpenDisplay(DisplayString(tx::display()));
  if (!dpy)
    throw std::runtime_error("cannot open a second connection");
  int screen = DefaultScreen(dpy);
  ScreenSize size{DisplayWidth(dpy, screen), DisplayHeight(dpy, screen),
                  DisplayWidthMM(dpy, screen), DisplayHeightMM(dpy, screen)};
  XCloseDisplay(dpy);
  return size;
}

struct FreeResources {
  void operator()(XRRScreenResources* res) const { tx::XRRFreeScreenResources(res); }
};
using Resources = std::unique_ptr<XRRScreenResources, FreeResources>;

inline Resources resources() {
  Display* dpy = tx::display();
  return Resources(tx::XRRGetScreenResources(dpy, DefaultRootWindow(dpy)));
}

// The mode of that name in the server's list, as a copy (id 0 when none).
inline XRRModeInfo modeNamed(const std::string& name) {
  Resources res = resources();
  for (int i = 0; i < res->nmode; i++) {
    if (std::string(res->modes[i].name, res->modes[i].nameLength) == name) {
      XRRModeInfo mode = res->modes[i];
      mode.name = nullptr;
      return mode;
    }
  }
  return XRRModeInfo{};
}

inline std::vector<std::string> modeNames() {
  Resources res = resources();
  std::vector<std::string> names;
  for (int i = 0; i < res->nmode; i++)
    names.emplace_back(res->modes[i].name, res->modes[i].nameLength);
  return names;
}

// The size of the mode that CRTC number `index` shows (0x0 when off).
inline std::pair<unsigned, unsigned> crtcSize(int index) {
  Resources res = resources();
  XRRCrtcInfo* info = tx::XRRGetCrtcInfo(tx::display(), res.get(), res->crtcs[index]);
  std::pair<unsigned, unsigned> size{info->width, info->height};
  tx::XRRFreeCrtcInfo(info);
  return size;
}

// The server's end of a real channel: the agent side is an io::MsgIpc over
// our end of a socket pair; the test reads and writes raw bytes on the
// peer end.
class ChannelPeer : public io::MsgIpc::Callback {
public:
  ChannelPeer() { channel.accept(std::make_unique<io::FdIo>(peer_.takeOurs())); }

  // Writes bytes as the server and lets the channel dispatch all of them.
  void send(const svr::test::Bytes& bytes) {
    peer_.send(bytes);
    while (manager_.processEvents(0)) {
    }
  }

  // The messages the agent sent that are complete now (a socket pair
  // delivers at once what was flushed).
  std::vector<svr::test::Message> received() {
    peer_.receive(buffer_);
    return svr::test::takeMessages(buffer_);
  }

  void ipcClosed(io::MsgIpc&) override { closed++; }

private:
  // Before the channel: its connection registers with the manager.
  io::FdSelectManager manager_;
  testsupport::SocketPeer peer_;
  svr::test::Bytes buffer_;

public:
  io::MsgIpc channel{*this, "Server"};
  int closed = 0;
};

} // namespace svrtest
