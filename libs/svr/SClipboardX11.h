#pragma once

// The agent's clipboard bridge on the X display. Desktop to viewers: while
// monitoring, a new text of the PRIMARY or CLIPBOARD selection (or of cut
// buffer 0, with "UseCutBuffer") goes to the callback once; the text on the
// desktop when the bridge starts and repeats of the last text do not.
// Viewers to desktop: setCutText() puts a viewer's text in cut buffer 0 and
// offers it as both selections; that text is never sent back.
//
// Built by the server link only when the X display is open. Event-loop
// thread only; needs the thread's timer manager.

#include "uilibs/tx/TXClipboardWindow.h"

#include <memory>
#include <string_view>

namespace tx {
class TXClipboardMgr;
}

namespace svr {

class SClipboardX11 : private tx::TXClipboardWindow::Callback {
public:
  class Callback {
  public:
    virtual ~Callback() = default;
    // A new desktop clipboard text (UTF-8) for the viewers.
    virtual void serverCutText(std::string_view text) = 0;
  };

  // Starts with monitoring off, polling (when it polls) every "poll" ms.
  // `callback` is not owned and must outlive this object.
  explicit SClipboardX11(Callback& callback);
  ~SClipboardX11() override;
  SClipboardX11(const SClipboardX11&) = delete;
  SClipboardX11& operator=(const SClipboardX11&) = delete;

  // Starts or stops watching the desktop's clipboard (XFIXES events or the
  // poll timer). The server link, which reads "EnableClipboard", asks for it
  // while the desktop is serving and the parameter is set; asking for the
  // current state does nothing.
  void setMonitoring(bool on);
  bool monitoring() const;

  // A viewer's text (UTF-8) for the desktop's clients: cut buffer 0 (as
  // ISO-8859-1) and both selections, owned from the current server time.
  void setCutText(std::string_view text);

  tx::TXClipboardMgr& manager() { return *mgr_; }

private:
  // tx::TXClipboardWindow::Callback
  bool sendPrimary() override;
  void cutTextChanged(std::string_view text, bool initial) override;
  void cutTextUnchanged(bool ownedByUs, bool timedOut, bool initial) override;

  Callback& callback_;
  std::unique_ptr<tx::TXClipboardMgr> mgr_;
};

} // namespace svr
